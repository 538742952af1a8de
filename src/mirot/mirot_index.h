#pragma once
// One fragment of the disk index: a tree of pages over a run of stored rows, with
// skip edges between leaves, a page-id lookup and its header.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

#include "mirot/page.h"

namespace mirot {

struct IndexHeader {
    std::uint64_t num_dim = 0;
    std::uint64_t indexed_rows = 0;
    std::uint32_t root_page_id = 0;
    std::uint64_t leaf_capacity = 0;
    std::uint64_t skip_neighbors = 3;

    bool operator==(const IndexHeader&) const = default;
};

// Leaf page id -> ids of the leaves with the nearest centroids. Ordered, so the file
// written from it is the same for the same map.
using SkipEdges = std::map<std::uint32_t, std::vector<std::uint32_t>>;
// Page id -> position in `pages`.
using PageMap = std::unordered_map<std::uint32_t, std::size_t>;

// Page id -> position; when two pages share an id the later one wins.
PageMap build_page_map(const std::vector<Page>& pages);

struct MirotIndex {
    std::vector<Page> pages;
    std::filesystem::path persist_dir;
    SkipEdges skip_edges;
    PageMap page_map;
    IndexHeader header;
    // The root page's centroid (empty when the root names no page), kept so that a
    // search ranking fragments by it does not recompute it per query. Whoever builds,
    // opens or changes the fragment sets it; absent, a search computes it.
    std::optional<std::vector<float>> root_centroid;

    // Computes root_centroid from the pages as they are now.
    void cache_root_centroid();

    // Writes pages.bin, skip_edges.bin and header.json into persist_dir (created when
    // missing): each through a synced temporary file and a rename, then the directory
    // is synced. When a step fails, the page and skip-edge files that existed before
    // get their previous bytes back, no temporary file is left, and the error is
    // thrown (InvalidParameter).
    void persist() const;

    // Reads the fragment stored in `dir` (persist_dir becomes dir) and checks it:
    // record dims equal num_dim (at most 100000), page ids are unique, the root and
    // every child name a page, the pages below the root form a tree, and leaf rows lie
    // within indexed_rows. Any failure throws InvalidParameter.
    static MirotIndex open(const std::filesystem::path& dir);

    // The page with that id, or null.
    const Page* page_by_id(std::uint32_t id) const {
        auto it = page_map.find(id);
        return it == page_map.end() ? nullptr : &pages[it->second];
    }
};

}  // namespace mirot
