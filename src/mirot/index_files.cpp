#include "mirot/index_files.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "mirot/atomic_file.h"
#include "mirot/error.h"

namespace mirot {

namespace {

constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t get_u32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::uint32_t checked_u32(std::size_t v, const char* what) {
    if (v > kU32Max) throw MirotError::invalid_parameter(std::string(what) + " " + std::to_string(v) + " exceeds u32");
    return static_cast<std::uint32_t>(v);
}

constexpr std::array<const char*, 5> kHeaderFields = {"num_dim", "indexed_rows", "root_page_id", "leaf_capacity",
                                                      "skip_neighbors"};

// Streams the header JSON, so that repeated keys are seen (a DOM keeps only one)
// and no tree is built for the ignored values.
class HeaderSax {
public:
    using json = nlohmann::json;

    bool null() { return scalar("null", std::nullopt, false); }
    bool boolean(bool v) { return scalar(std::string("boolean `") + (v ? "true" : "false") + "`", std::nullopt, false); }
    bool number_integer(json::number_integer_t v) {
        if (v >= 0) return number_unsigned(static_cast<json::number_unsigned_t>(v));
        return scalar("integer `" + std::to_string(v) + "`", std::nullopt, true);
    }
    bool number_unsigned(json::number_unsigned_t v) { return scalar("integer `" + std::to_string(v) + "`", v, false); }
    bool number_float(json::number_float_t, const json::string_t& text) {
        return scalar("floating point `" + text + "`", std::nullopt, false);
    }
    bool string(json::string_t& v) { return scalar("string " + json(v).dump(), std::nullopt, false); }
    bool binary(json::binary_t&) { return scalar("bytes", std::nullopt, false); }

    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(json::string_t& k) {
        if (depth_ != 1) return true;
        field_ = -1;
        for (std::size_t i = 0; i < kHeaderFields.size(); ++i) {
            if (k == kHeaderFields[i]) field_ = static_cast<int>(i);
        }
        if (field_ >= 0 && seen_[field_]) return fail("duplicate field `" + k + "`");
        if (field_ >= 0) seen_[field_] = true;
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
        std::string text = ex.what();
        // Drop the library's "[json.exception.parse_error.N] " tag.
        if (!text.empty() && text[0] == '[') {
            auto end = text.find("] ");
            if (end != std::string::npos) text.erase(0, end + 2);
        }
        return fail(text);
    }

    const std::string& error() const { return error_; }
    IndexHeader header() const {
        IndexHeader h;
        h.num_dim = values_[0];
        h.indexed_rows = values_[1];
        h.root_page_id = static_cast<std::uint32_t>(values_[2]);
        h.leaf_capacity = values_[3];
        h.skip_neighbors = values_[4];
        return h;
    }

private:
    bool fail(std::string message) {
        if (error_.empty()) error_ = std::move(message);
        return false;
    }

    // The field index the next value at depth 1 fills, or -1 for an ignored value.
    int target_field() {
        if (array_mode_) return static_cast<int>(array_len_++);
        return field_;
    }

    bool scalar(const std::string& what, std::optional<std::uint64_t> value, bool negative) {
        if (depth_ == 0) return fail("invalid type: " + what + ", expected struct IndexHeader");
        if (depth_ > 1) return true;
        const int f = target_field();
        if (f < 0) return true;
        if (f >= 5) return fail("trailing characters");
        const char* want = f == 2 ? "u32" : "u64";
        if (negative) return fail("invalid value: " + what + ", expected " + want);
        if (!value) return fail("invalid type: " + what + ", expected " + want);
        if (f == 2 && *value > kU32Max) return fail("invalid value: " + what + ", expected u32");
        values_[f] = *value;
        return true;
    }

    bool open(bool object) {
        if (depth_ == 0) {
            array_mode_ = !object;
        } else if (depth_ == 1) {
            const int f = target_field();
            if (f >= 5) return fail("trailing characters");
            if (f >= 0) {
                return fail(std::string("invalid type: ") + (object ? "map" : "sequence") + ", expected " +
                            (f == 2 ? "u32" : "u64"));
            }
        }
        ++depth_;
        return true;
    }

    bool close() {
        --depth_;
        if (depth_ != 0) return true;
        if (array_mode_) {
            if (array_len_ < 5) {
                return fail("invalid length " + std::to_string(array_len_) +
                            ", expected struct IndexHeader with 5 elements");
            }
            return true;
        }
        for (std::size_t i = 0; i < kHeaderFields.size(); ++i) {
            if (!seen_[i]) return fail(std::string("missing field `") + kHeaderFields[i] + "`");
        }
        return true;
    }

    int depth_ = 0;
    bool array_mode_ = false;
    std::size_t array_len_ = 0;
    int field_ = -1;
    std::array<bool, 5> seen_{};
    std::array<std::uint64_t, 5> values_{};
    std::string error_;
};

}  // namespace

std::vector<std::uint8_t> pages_bin_bytes(const MirotIndex& index) {
    const std::uint32_t dim = checked_u32(index.header.num_dim, "num_dim");
    std::size_t total = 4;
    for (const Page& p : index.pages) total += 4 + p.serialized_size(dim);
    std::vector<std::uint8_t> out;
    out.reserve(total);
    put_u32(out, checked_u32(index.pages.size(), "page count"));
    for (const Page& p : index.pages) {
        put_u32(out, checked_u32(p.serialized_size(dim), "page record length"));
        p.serialize_into(dim, out);
    }
    return out;
}

std::vector<Page> read_pages_bin(std::span<const std::uint8_t> bytes, std::vector<std::uint32_t>* dims) {
    const auto short_file = [] { return MirotError::invalid_parameter("failed to fill whole buffer"); };
    std::size_t cursor = 0;
    auto next_u32 = [&] {
        if (bytes.size() - cursor < 4) throw short_file();
        std::uint32_t v = get_u32(bytes, cursor);
        cursor += 4;
        return v;
    };
    const std::uint32_t count = next_u32();
    std::vector<Page> pages;
    // Every entry takes at least 4 + 13 bytes.
    pages.reserve(std::min<std::size_t>(count, (bytes.size() - cursor) / 17));
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t len = next_u32();
        if (bytes.size() - cursor < len) throw short_file();
        auto record = bytes.subspan(cursor, len);
        pages.push_back(read_page_record(record));
        if (dims) dims->push_back(get_u32(record, 9));
        cursor += len;
    }
    return pages;
}

std::vector<std::uint8_t> skip_edges_bytes(const SkipEdges& skip_edges) {
    std::size_t total = 4;
    for (const auto& [id, list] : skip_edges) total += 8 + 4 * list.size();
    std::vector<std::uint8_t> out;
    out.reserve(total);
    put_u32(out, checked_u32(skip_edges.size(), "skip-edge entry count"));
    for (const auto& [id, list] : skip_edges) {
        put_u32(out, id);
        put_u32(out, checked_u32(list.size(), "skip-edge list length"));
        for (std::uint32_t n : list) put_u32(out, n);
    }
    return out;
}

void write_skip_edges_file(const std::string& path, const SkipEdges& skip_edges) {
    const auto bytes = skip_edges_bytes(skip_edges);
    write_file_synced(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

SkipEdges read_skip_edges(std::span<const std::uint8_t> bytes) {
    SkipEdges map;
    if (bytes.size() < 4) return map;
    const std::uint32_t count = get_u32(bytes, 0);
    std::size_t cursor = 4;
    for (std::uint32_t e = 0; e < count; ++e) {
        if (bytes.size() - cursor < 8) break;
        const std::uint32_t id = get_u32(bytes, cursor);
        const std::uint32_t k = get_u32(bytes, cursor + 4);
        cursor += 8;
        const std::size_t available = std::min<std::size_t>(k, (bytes.size() - cursor) / 4);
        std::vector<std::uint32_t> ids(available);
        for (std::size_t j = 0; j < available; ++j) ids[j] = get_u32(bytes, cursor + 4 * j);
        cursor += 4 * available;
        map[id] = std::move(ids);
        if (available < k) break;
    }
    return map;
}

std::string header_json_text(const IndexHeader& h) {
    return "{\n  \"num_dim\": " + std::to_string(h.num_dim) + ",\n  \"indexed_rows\": " +
           std::to_string(h.indexed_rows) + ",\n  \"root_page_id\": " + std::to_string(h.root_page_id) +
           ",\n  \"leaf_capacity\": " + std::to_string(h.leaf_capacity) + ",\n  \"skip_neighbors\": " +
           std::to_string(h.skip_neighbors) + "\n}";
}

IndexHeader parse_index_header(std::string_view text) {
    HeaderSax sax;
    const bool ok = nlohmann::json::sax_parse(text.begin(), text.end(), &sax);
    if (!ok || !sax.error().empty()) {
        throw MirotError::invalid_parameter(sax.error().empty() ? "invalid header" : sax.error());
    }
    return sax.header();
}

}  // namespace mirot
