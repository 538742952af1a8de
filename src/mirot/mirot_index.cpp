#include "mirot/mirot_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "mirot/atomic_file.h"
#include "mirot/error.h"
#include "mirot/index_files.h"
#include "mirot/observation.h"
#include "mirot/posix_file.h"

namespace mirot {

namespace {

std::string_view as_text(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::span<const std::uint8_t> as_bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The whole file; any failure (a missing file included) is the system's error.
std::string read_whole_file(const std::string& path) {
    return read_regular_file(path, std::numeric_limits<std::size_t>::max());
}

// The bytes of an existing file, or nothing when it does not exist.
std::optional<std::string> backup_of(const std::string& path) {
    if (!path_exists(path)) return std::nullopt;
    return read_whole_file(path);
}

[[noreturn]] void corrupt(const std::string& file, const std::string& problem) {
    throw MirotError::invalid_parameter(file + ": " + problem);
}

// What the page graph of a file must satisfy before any search walks it.
void check_fragment(const MirotIndex& idx, const std::vector<std::uint32_t>& dims, const std::string& pages_file,
                    const std::string& header_file) {
    const IndexHeader& h = idx.header;
    for (std::size_t i = 0; i < idx.pages.size(); ++i) {
        const std::uint32_t id = idx.pages[i].page_id();
        if (dims[i] != h.num_dim) {
            corrupt(pages_file, "page " + std::to_string(id) + " has dim " + std::to_string(dims[i]) +
                                    ", header num_dim is " + std::to_string(h.num_dim));
        }
        if (idx.page_map.at(id) != i) corrupt(pages_file, "page id " + std::to_string(id) + " appears twice");
    }
    for (const Page& page : idx.pages) {
        const std::uint32_t id = page.page_id();
        if (const LeafPage* leaf = page.leaf()) {
            for (std::uint32_t r : leaf->row_ids) {
                if (r >= h.indexed_rows) {
                    corrupt(pages_file, "leaf " + std::to_string(id) + " holds row " + std::to_string(r) +
                                            " beyond the " + std::to_string(h.indexed_rows) + " indexed rows");
                }
            }
            if (leaf->range && leaf->range->second > h.indexed_rows) {
                corrupt(pages_file, "leaf " + std::to_string(id) + " range ends at " +
                                        std::to_string(leaf->range->second) + " beyond the " +
                                        std::to_string(h.indexed_rows) + " indexed rows");
            }
        } else {
            for (std::uint32_t child : page.internal()->children) {
                if (!idx.page_by_id(child)) {
                    corrupt(pages_file, "page " + std::to_string(id) + " has child " + std::to_string(child) +
                                            " that names no page");
                }
            }
        }
    }
    if (!idx.page_by_id(h.root_page_id)) {
        corrupt(header_file, "root_page_id " + std::to_string(h.root_page_id) + " names no page");
    }
    // Every page below the root is reached exactly once: no cycle, no shared child.
    std::vector<bool> reached(idx.pages.size(), false);
    std::vector<std::size_t> stack{idx.page_map.at(h.root_page_id)};
    reached[stack.back()] = true;
    while (!stack.empty()) {
        const Page& p = idx.pages[stack.back()];
        stack.pop_back();
        const InternalPage* in = p.internal();
        if (!in) continue;
        for (std::uint32_t child : in->children) {
            const std::size_t pos = idx.page_map.at(child);
            if (reached[pos]) {
                corrupt(pages_file, "page " + std::to_string(child) + " is reached twice below the root");
            }
            reached[pos] = true;
            stack.push_back(pos);
        }
    }
}

}  // namespace

void MirotIndex::persist() const {
    const std::string dir = persist_dir.string();
    create_directories(dir);
    const std::string pages_path = (persist_dir / "pages.bin").string();
    const std::string skip_path = (persist_dir / "skip_edges.bin").string();
    const std::string header_path = (persist_dir / "header.json").string();
    const std::string pages_tmp = pages_path + ".tmp";
    const std::string skip_tmp = skip_path + ".tmp";

    const std::vector<std::uint8_t> pages_bytes = pages_bin_bytes(*this);
    const std::optional<std::string> pages_backup = backup_of(pages_path);
    const std::optional<std::string> skip_backup = backup_of(skip_path);
    const std::optional<std::string> header_backup = backup_of(header_path);
    try {
        write_file_synced(pages_tmp, as_text(pages_bytes));
        write_skip_edges_file(skip_tmp, skip_edges);
        rename_path(pages_tmp, pages_path);
        rename_path(skip_tmp, skip_path);
        write_file_atomic(header_path, header_json_text(header));
        sync_directory(dir);
    } catch (const MirotError&) {
        // Put back what was there, so pages, skip edges and header still belong together.
        auto restore = [](const std::string& path, const std::optional<std::string>& bytes) {
            if (!bytes) return;
            try {
                write_file_atomic(path, *bytes);
            } catch (const MirotError&) {
            }
        };
        restore(pages_path, pages_backup);
        restore(skip_path, skip_backup);
        // The header's rename may have happened before a later sync failed.
        restore(header_path, header_backup);
        ::unlink(pages_tmp.c_str());
        ::unlink(skip_tmp.c_str());
        try {
            sync_directory(dir);
        } catch (const MirotError&) {
        }
        throw;
    }
}

MirotIndex MirotIndex::open(const std::filesystem::path& dir) {
    const std::string header_path = (dir / "header.json").string();
    const std::string pages_path = (dir / "pages.bin").string();
    const std::string skip_path = (dir / "skip_edges.bin").string();

    const std::string text = read_whole_file(header_path);
    if (!is_valid_utf8(text)) throw MirotError::invalid_parameter("stream did not contain valid UTF-8");
    MirotIndex idx;
    idx.header = parse_index_header(text);
    if (idx.header.num_dim > kMaxColumns) {
        corrupt(header_path,
                "num_dim " + std::to_string(idx.header.num_dim) + " exceeds maximum " + std::to_string(kMaxColumns));
    }

    std::vector<std::uint32_t> dims;
    idx.pages = read_pages_bin(as_bytes(read_whole_file(pages_path)), &dims);

    struct stat st;
    if (::stat(skip_path.c_str(), &st) == 0) idx.skip_edges = read_skip_edges(as_bytes(read_whole_file(skip_path)));

    idx.page_map = build_page_map(idx.pages);
    idx.persist_dir = dir;
    check_fragment(idx, dims, pages_path, header_path);
    idx.cache_root_centroid();
    return idx;
}

void MirotIndex::cache_root_centroid() {
    const Page* root = page_by_id(header.root_page_id);
    root_centroid = root ? root->centroid() : std::vector<float>{};
}

PageMap build_page_map(const std::vector<Page>& pages) {
    PageMap map;
    map.reserve(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) map[pages[i].page_id()] = i;
    return map;
}

}  // namespace mirot
