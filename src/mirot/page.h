#pragma once
// One node of a fragment's page tree: an internal page over child pages, or a leaf
// in one of three shapes (vector leaf, id leaf, range leaf), plus the binary page
// record that stores it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

namespace mirot {

struct InternalPage {
    std::uint32_t page_id = 0;
    std::vector<std::uint32_t> children;
    // One centroid per child, in the order of `children`.
    std::vector<std::vector<float>> child_centroids;

    bool operator==(const InternalPage&) const = default;
};

// Vector leaf: row ids with one vector each, no range (a stored centroid is optional
// and not written to disk). Id leaf: row ids, no vectors, a stored centroid. Range
// leaf: rows [first, second) of the x store, a stored centroid, no ids or vectors.
struct LeafPage {
    std::uint32_t page_id = 0;
    std::vector<std::uint32_t> row_ids;
    // Empty, or one vector per row id.
    std::vector<std::vector<float>> vectors;
    std::optional<std::vector<float>> centroid;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> range;

    bool operator==(const LeafPage&) const = default;
};

// Kind byte of a page record.
enum class PageKind : std::uint8_t { Internal = 0, VectorLeaf = 1, IdLeaf = 2, RangeLeaf = 3 };

inline constexpr std::uint32_t kPageMagic = 0x4D49524F;

class Page {
public:
    using Internal = InternalPage;
    using Leaf = LeafPage;

    Page(Internal internal) : node_(std::move(internal)) {}
    Page(Leaf leaf) : node_(std::move(leaf)) {}

    bool is_leaf() const { return std::holds_alternative<Leaf>(node_); }
    const Leaf* leaf() const { return std::get_if<Leaf>(&node_); }
    Leaf* leaf() { return std::get_if<Leaf>(&node_); }
    const Internal* internal() const { return std::get_if<Internal>(&node_); }
    Internal* internal() { return std::get_if<Internal>(&node_); }

    std::uint32_t page_id() const;
    void set_page_id(std::uint32_t id);

    // A leaf's stored centroid, else the element-wise f32 mean of the vectors (leaf)
    // or of the child centroids (internal page: each child counts once). Empty input
    // gives an empty centroid.
    std::vector<float> centroid() const;
    // The same centroid written into `out` (reusing its storage).
    void centroid_into(std::vector<float>& out) const;

    // The record's kind as written to disk.
    PageKind kind() const;

    // One page record with every vector written as exactly `dim` values.
    std::vector<std::uint8_t> serialize(std::uint32_t dim) const;
    // Appends the record to `out` instead of returning it.
    void serialize_into(std::uint32_t dim, std::vector<std::uint8_t>& out) const;
    // The record's size in bytes for `dim`.
    std::size_t serialized_size(std::uint32_t dim) const;

    // n f32 values from `cursor`, advancing it by 4 per value; nothing when the bytes
    // end first (the cursor then stands after the last whole value).
    static std::optional<std::vector<float>> read_f32_vec(std::span<const std::uint8_t> bytes,
                                                          std::size_t& cursor, std::size_t n);

    bool operator==(const Page&) const = default;

private:
    std::variant<Internal, Leaf> node_;
};

// Decodes one page record; a malformed record throws MirotError::InvalidParameter
// with the reader's text ("page too short", "bad page magic", "truncated u32", ...).
// Counts inside the record never size an allocation beyond what the bytes can hold.
Page read_page_record(std::span<const std::uint8_t> bytes);

}  // namespace mirot
