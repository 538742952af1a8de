#include "mirot/fragment_merge.h"

#include <limits>
#include <unordered_map>
#include <utility>

#include "base/panic.h"
#include "mirot/error.h"

namespace mirot {

MirotIndex concat_merge(std::vector<MirotIndex> fragments, std::filesystem::path persist_dir) {
    if (fragments.empty())
        throw MirotError::invalid_parameter("concat_merge requires at least one index");
    if (fragments.size() == 1) {
        MirotIndex only = std::move(fragments.front());
        only.persist_dir = std::move(persist_dir);
        return only;
    }

    std::size_t total_pages = 0;
    for (const MirotIndex& f : fragments) total_pages += f.pages.size();
    qelbo::expect(total_pages < std::numeric_limits<std::uint32_t>::max(),
                  "concat_merge: page ids exceed u32");

    InternalPage root;
    root.page_id = 0;
    std::vector<Page> pages;
    pages.reserve(total_pages + 1);
    SkipEdges skip_edges;
    std::uint64_t total_rows = 0;
    std::uint32_t next_id = 1;

    for (MirotIndex& fragment : fragments) {
        total_rows += fragment.header.indexed_rows;
        // Old id -> new id and position; of two pages with one id the later wins.
        std::unordered_map<std::uint32_t, std::pair<std::uint32_t, std::size_t>> new_id;
        new_id.reserve(fragment.pages.size());
        for (std::size_t p = 0; p < fragment.pages.size(); ++p)
            new_id[fragment.pages[p].page_id()] = {next_id++, p};

        // A root that names no page has nothing to hang under the new root.
        if (auto it = new_id.find(fragment.header.root_page_id); it != new_id.end()) {
            root.children.push_back(it->second.first);
            root.child_centroids.push_back(fragment.pages[it->second.second].centroid());
        }

        std::uint32_t id = next_id - static_cast<std::uint32_t>(fragment.pages.size());
        for (Page& page : fragment.pages) {
            if (InternalPage* internal = page.internal()) {
                // Children that name no page of the fragment are dropped with their
                // centroids rather than pointed at a page of another fragment.
                std::vector<std::uint32_t> children;
                std::vector<std::vector<float>> centroids;
                children.reserve(internal->children.size());
                centroids.reserve(internal->children.size());
                for (std::size_t c = 0; c < internal->children.size(); ++c) {
                    auto it = new_id.find(internal->children[c]);
                    if (it == new_id.end() || c >= internal->child_centroids.size()) continue;
                    children.push_back(it->second.first);
                    centroids.push_back(std::move(internal->child_centroids[c]));
                }
                internal->children = std::move(children);
                internal->child_centroids = std::move(centroids);
            }
            page.set_page_id(id++);
            pages.push_back(std::move(page));
        }

        for (auto& [leaf, neighbours] : fragment.skip_edges) {
            auto it = new_id.find(leaf);
            if (it == new_id.end()) continue;
            std::vector<std::uint32_t> mapped;
            mapped.reserve(neighbours.size());
            for (std::uint32_t n : neighbours) {
                if (auto m = new_id.find(n); m != new_id.end()) mapped.push_back(m->second.first);
            }
            if (!mapped.empty()) skip_edges[it->second.first] = std::move(mapped);
        }
    }
    pages.emplace_back(std::move(root));

    MirotIndex merged;
    merged.page_map = build_page_map(pages);
    merged.pages = std::move(pages);
    merged.skip_edges = std::move(skip_edges);
    merged.persist_dir = std::move(persist_dir);
    merged.header = IndexHeader{fragments.front().header.num_dim, total_rows, 0,
                                fragments.front().header.leaf_capacity,
                                fragments.front().header.skip_neighbors};
    return merged;
}

}  // namespace mirot
