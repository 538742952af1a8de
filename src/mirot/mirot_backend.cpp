#include "mirot/mirot_backend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "base/panic.h"
#include "base/worker_pool.h"
#include "mirot/atomic_file.h"
#include "mirot/fragment_merge.h"
#include "mirot/index_files.h"
#include "mirot/forest_search.h"
#include "mirot/merge.h"
#include "mirot/search_source.h"
#include "mirot/distance.h"
#include "mirot/observation.h"
#include "mirot/tuning.h"

namespace mirot {

using qelbo::PoisonMutex;

namespace {

constexpr std::size_t kPreTouchStride = 4096;
// Bookkeeping files are tiny; anything larger is not ours.
constexpr std::size_t kSmallFileLimit = 1 << 20;
// Index files are read whole for the unchanged-check; larger ones are simply rewritten.
constexpr std::size_t kIndexFileLimit = std::size_t{1} << 34;

std::string join(const std::filesystem::path& dir, const char* name) { return (dir / name).string(); }

std::string out_of_range(std::uint64_t i, std::uint64_t n) {
    return "row " + std::to_string(i) + " out of range [0, " + std::to_string(n) + ")";
}

// One live store per work directory: a second one, in this process or another, would
// append to the same files behind the first one's back.
UniqueFd lock_work_dir(const std::filesystem::path& dir) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) throw os_error(errno);
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) {
            throw MirotError::invalid_parameter("work_dir " + dir.string() +
                                                " is already open in another model; close that model first");
        }
        throw os_error(errno);
    }
    return fd;
}

// The row counter: created with 8 zero bytes when missing, never shortened, mapped whole.
FileMapping map_num_obs(const std::filesystem::path& dir) {
    const std::string path = join(dir, "num_obs.bin");
    if (!path_exists(path)) write_file_atomic(path, std::string(8, '\0'));
    UniqueFd fd = open_read_write(path);
    if (static_cast<std::uint64_t>(fstat_fd(fd.get()).st_size) < 8) allocate_file(fd.get(), 8);
    return FileMapping::map_file(fd.get());
}

// Opening checks the page tree, ids and dims. A fragment also answers searches by its
// leaves in page order and follows its skip edges, so it is searched only when its
// leaves cover the rows [0, rows) exactly once and every skip edge joins two leaves;
// anything else came from a torn or foreign write and is rebuilt from the rows.
bool fragment_is_sound(const MirotIndex& f, std::uint64_t rows) {
    std::vector<bool> seen(rows, false);
    std::uint64_t covered = 0;
    auto cover = [&](std::uint64_t r) {
        if (r >= rows || seen[r]) return false;
        seen[r] = true;
        ++covered;
        return true;
    };
    for (const Page& p : f.pages) {
        const LeafPage* leaf = p.leaf();
        if (!leaf) continue;
        if (leaf->range) {
            if (!leaf->row_ids.empty() || leaf->range->first > leaf->range->second) return false;
            for (std::uint64_t r = leaf->range->first; r < leaf->range->second; ++r)
                if (!cover(r)) return false;
            continue;
        }
        if (!leaf->vectors.empty() && leaf->vectors.size() != leaf->row_ids.size()) return false;
        for (std::uint32_t r : leaf->row_ids)
            if (!cover(r)) return false;
    }
    if (covered != rows) return false;
    for (const auto& [leaf_id, neighbours] : f.skip_edges) {
        const Page* from = f.page_by_id(leaf_id);
        if (!from || !from->is_leaf()) return false;
        for (std::uint32_t n : neighbours) {
            const Page* to = f.page_by_id(n);
            if (!to || !to->is_leaf()) return false;
        }
    }
    return true;
}

// The persisted index of `index_dir` when it is sound for the first `rows` rows.
std::optional<MirotIndex> load_persisted_fragment(const std::filesystem::path& index_dir, std::uint64_t num_dim,
                                                  std::uint64_t rows) {
    const std::string header_path = join(index_dir, "header.json");
    if (rows == 0 || !path_exists(header_path)) return std::nullopt;
    // A header that cannot be read is rebuilt like any damaged index; one that reads and
    // records another width says the rows were written with other widths than recorded.
    std::optional<IndexHeader> header;
    try {
        header = parse_index_header(read_regular_file(header_path, kSmallFileLimit));
    } catch (const MirotError&) {
    }
    if (header && header->num_dim != num_dim)
        throw MirotError::invalid_parameter(header_path + " records num_dim " + std::to_string(header->num_dim) +
                                            ", not the store's num_dim " + std::to_string(num_dim));
    try {
        MirotIndex f = MirotIndex::open(index_dir);
        if (f.header.num_dim != num_dim || f.header.indexed_rows > rows || !fragment_is_sound(f, f.header.indexed_rows))
            return std::nullopt;
        return f;
    } catch (const MirotError&) {
        return std::nullopt;
    }
}

bool same_scaling(bool a_flag, std::span<const double> a, bool b_flag, std::span<const double> b) {
    if (a_flag != b_flag || a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i])) return false;
    return true;
}

std::optional<std::uint64_t> file_size(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

// The file's bytes equal `expected` (a missing or unreadable file differs).
bool file_equals(const std::string& path, std::span<const std::uint8_t> expected) {
    const std::optional<std::uint64_t> size = file_size(path);
    if (!size || *size != expected.size()) return false;
    const std::optional<std::string> bytes = read_file_bounded(path, kIndexFileLimit);
    return bytes && bytes->size() == expected.size() &&
           std::memcmp(bytes->data(), expected.data(), expected.size()) == 0;
}

// Column files carry no widths of their own, but they only ever grow by whole rows: a
// length that is not a whole number of rows means they were written with other widths.
void check_whole_rows(MmapColumnStore& store, const char* width_name) {
    const std::uint64_t stride = store.ncols() * sizeof(double);
    const std::uint64_t bytes = store.mapped_bytes().size();
    if (stride != 0 && bytes % stride != 0)
        throw MirotError::invalid_parameter(store.path() + " holds " + std::to_string(bytes) +
                                            " bytes, not a whole number of rows of " + width_name + " " +
                                            std::to_string(store.ncols()));
}

// A column file of the store, with the file named in every error: a row count that does
// not fit its length means it was written with other widths than recorded.
MmapColumnStore open_column_file(const std::string& path, std::uint64_t ncols, std::optional<std::uint64_t> known) {
    try {
        return mmap_open_or_create(path, ncols, known);
    } catch (const MirotError& e) {
        if (e.message().rfind(path, 0) == 0) throw;
        throw MirotError::invalid_parameter(path + ": " + e.message());
    }
}

// Makes a row file's mapped writes durable before anything that counts them is written.
void sync_file(const std::string& path) {
    UniqueFd fd = open_read_write(path);
    sync_fd(fd.get());
}

}  // namespace

MirotBackend::MirotBackend(std::filesystem::path work_dir, std::uint64_t num_dim, std::uint64_t num_metrics,
                           MmapColumnStore x_store, MmapColumnStore y_store, std::optional<MmapColumnStore> yvar_store,
                           bool scale_x, std::vector<double> x_scale)
    : work_dir_(std::move(work_dir)),
      num_dim_(num_dim),
      num_metrics_(num_metrics),
      x_store_(std::move(x_store)),
      y_store_(std::move(y_store)),
      yvar_store_(std::move(yvar_store)),
      index_(work_dir_ / "index"),
      scale_x_(scale_x),
      x_scale_(std::move(x_scale)) {}

MirotBackend::MirotBackend(MirotBackend&& o) noexcept
    : work_dir_(std::move(o.work_dir_)),
      num_dim_(o.num_dim_),
      num_metrics_(o.num_metrics_),
      x_store_(std::move(o.x_store_)),
      y_store_(std::move(o.y_store_)),
      yvar_store_(std::move(o.yvar_store_)),
      index_(std::move(o.index_)),
      scale_x_(o.scale_x_),
      x_scale_(std::move(o.x_scale_)),
      soft_flush_threshold_(o.soft_flush_threshold_),
      hard_flush_threshold_(o.hard_flush_threshold_),
      pending_rows_(o.pending_rows_.load()),
      generation_(o.generation_),
      index_dirty_(o.index_dirty_),
      num_obs_map_(std::move(o.num_obs_map_)),
      dir_lock_(std::move(o.dir_lock_)) {}

MirotBackend MirotBackend::open(const std::filesystem::path& work_dir, const BlockView& x, const BlockView& y,
                                const std::optional<BlockView>& yvar, bool scale_x, std::vector<double> x_scale) {
    const std::uint64_t num_dim = x.cols;
    const std::uint64_t num_metrics = y.cols;
    check_column_limit("num_dim", num_dim);
    check_column_limit("num_metrics", num_metrics);
    // Stores of unequal lengths would disagree with the one count kept for them all.
    if (y.rows != x.rows || (yvar && yvar->rows != x.rows))
        throw MirotError::invalid_parameter("row counts of x, y and yvar differ");
    const std::string dir = work_dir.string();
    create_directories(dir);
    UniqueFd dir_lock = lock_work_dir(work_dir);

    const std::optional<std::string> metadata = read_metadata(dir);
    if (metadata && is_valid_utf8(*metadata)) {
        const std::optional<std::string> kind = parse_json_string_field(*metadata, "index_backend");
        if (kind && *kind != "mirot_disk")
            throw MirotError::invalid_parameter("work_dir index_backend is " + *kind + ", expected mirot_disk");
    }
    // Stored rows are never read with other widths than they were written with.
    const std::optional<std::uint64_t> stored = mirot_load_num_obs(dir);
    if (metadata && stored && *stored > 0) {
        const std::optional<std::uint64_t> d = parse_json_usize_field(*metadata, "num_dim");
        const std::optional<std::uint64_t> m = parse_json_usize_field(*metadata, "num_metrics");
        if ((d && *d != num_dim) || (m && *m != num_metrics)) {
            throw MirotError::invalid_parameter(
                "work_dir holds " + std::to_string(*stored) + " rows of num_dim " + (d ? std::to_string(*d) : "?") +
                " and num_metrics " + (m ? std::to_string(*m) : "?") + "; got num_dim " + std::to_string(num_dim) +
                " and num_metrics " + std::to_string(num_metrics));
        }
    }
    // Rows for a store that holds rows would never be stored; refused before anything is written.
    if (x.rows > 0 && stored && *stored > 0) throw stored_rows_error(dir, *stored);

    FileMapping num_obs_map = map_num_obs(work_dir);
    const std::optional<std::uint64_t> known = mirot_load_num_obs(dir);
    MmapColumnStore x_store = open_column_file(join(work_dir, "train_x.bin"), num_dim, known);
    MmapColumnStore y_store = open_column_file(join(work_dir, "train_y.bin"), num_metrics, known);
    if (x_store.nrows() != y_store.nrows()) throw MirotError::invalid_parameter("train_x.bin and train_y.bin disagree");
    // Row ids are u32 everywhere below; a count from the files beyond that (sparse or
    // foreign files) would size the checks of the persisted index by it.
    if (x_store.nrows() > std::numeric_limits<std::uint32_t>::max())
        throw MirotError::invalid_parameter("row count " + std::to_string(x_store.nrows()) + " exceeds u32::MAX");
    const bool had_rows = x_store.nrows() > 0;
    if (had_rows && x.rows > 0) throw stored_rows_error(dir, x_store.nrows());
    if (had_rows) {
        check_whole_rows(x_store, "num_dim");
        check_whole_rows(y_store, "num_metrics");
    }
    if (!had_rows && x.rows > 0) {
        x_store.ensure_capacity(x.rows);
        y_store.ensure_capacity(y.rows);
        x_store.mmap_append(x);
        y_store.mmap_append(y);
    }
    if (x_store.nrows() == 0) {
        x_store.ensure_capacity(64);
        y_store.ensure_capacity(64);
        for (MmapColumnStore* s : {&x_store, &y_store}) {
            std::span<std::byte> bytes = s->mapped_bytes();
            for (std::size_t off = 0; off < bytes.size(); off += kPreTouchStride) bytes[off] = std::byte{0};
        }
    }
    const std::uint64_t num_obs = x_store.nrows();
    const std::string yvar_path = join(work_dir, "train_yvar.bin");
    std::optional<MmapColumnStore> yvar_store;
    if (had_rows) {
        // A reopened store keeps its variances, and only its own.
        if (path_exists(yvar_path)) {
            yvar_store = open_column_file(yvar_path, num_metrics, num_obs);
            check_whole_rows(*yvar_store, "num_metrics");
        }
    } else if (yvar && yvar->rows > 0) {
        yvar_store = mirot_open_or_append_yvar(dir, num_metrics, yvar);
    } else if (path_exists(yvar_path)) {
        // Left by an add that never completed: it holds no counted row, and a later
        // reopen must not read it as the variances of rows stored without any.
        if (::unlink(yvar_path.c_str()) != 0 && errno != ENOENT) throw os_error(errno);
    }
    if (yvar_store && yvar_store->nrows() != num_obs)
        throw MirotError::invalid_parameter("train_yvar.bin holds " + std::to_string(yvar_store->nrows()) +
                                            " rows, expected " + std::to_string(num_obs));

    MirotBackend b(work_dir, num_dim, num_metrics, std::move(x_store), std::move(y_store), std::move(yvar_store),
                   scale_x, std::move(x_scale));
    b.num_obs_map_ = std::move(num_obs_map);
    b.dir_lock_ = std::move(dir_lock);

    const std::optional<std::uint64_t> recorded = mirot_load_indexed_rows(dir);
    std::uint64_t clamped = recorded ? std::min(*recorded, num_obs) : 0;
    std::uint64_t covered = 0;
    if (std::optional<MirotIndex> persisted = load_persisted_fragment(b.index_.index_dir, num_dim, clamped)) {
        covered = persisted->header.indexed_rows;
        b.index_.fragments.push_back(std::move(*persisted));
    } else if (clamped > 0 && path_exists(join(b.index_.index_dir, "header.json"))) {
        // Not searchable: every row is indexed again from the rows at the next sync.
        clamped = 0;
    }
    b.index_.indexed_rows = std::min(clamped, covered);
    b.pending_rows_ = num_obs - clamped;
    b.index_dirty_ = clamped < num_obs || covered < clamped;
    if (covered < clamped) b.index_.ensure_sync(b.sync_source(), clamped);
    if (num_obs > 0) b.sync_row_files();
    mirot_write_metadata(dir, num_obs, num_dim, num_metrics, scale_x, clamped);
    b.write_num_obs(num_obs);
    return b;
}

SyncSource MirotBackend::sync_source() const {
    std::optional<std::span<const double>> scale;
    if (scale_x_) scale = std::span<const double>(x_scale_);
    return SyncSource{x_store_, scale, work_dir_, num_dim_};
}

void MirotBackend::write_num_obs(std::uint64_t n) {
    // Little-endian on every platform this builds on (the column store asserts it).
    std::memcpy(num_obs_map_.data(), &n, sizeof n);
}

void MirotBackend::set_flush_thresholds(std::uint64_t soft, std::uint64_t hard) {
    soft_flush_threshold_ = soft;
    hard_flush_threshold_ = hard;
}

bool MirotBackend::index_dirty() const {
    PoisonMutex::Guard guard = index_dirty_mutex_.lock();
    if (index_dirty_mutex_.poisoned()) throw qelbo::Panic("index_dirty");
    return index_dirty_;
}

void MirotBackend::set_index_dirty() {
    PoisonMutex::Guard guard = index_dirty_mutex_.lock();
    if (index_dirty_mutex_.poisoned()) throw qelbo::Panic("index_dirty");
    index_dirty_ = true;
}

std::span<const double> MirotBackend::row_x(std::uint64_t i) const {
    if (i >= x_store_.nrows()) throw MirotError::invalid_parameter(out_of_range(i, x_store_.nrows()));
    return {x_store_.row(i), static_cast<std::size_t>(num_dim_)};
}

MirotBackend::YRows MirotBackend::mmap_row_y_and_yvar(std::uint64_t i) const {
    if (i >= y_store_.nrows()) throw MirotError::invalid_parameter(out_of_range(i, y_store_.nrows()));
    YRows out{{y_store_.row(i), static_cast<std::size_t>(num_metrics_)}, std::nullopt};
    if (yvar_store_) {
        if (i >= yvar_store_->nrows()) throw MirotError::invalid_parameter(out_of_range(i, yvar_store_->nrows()));
        out.yvar = std::span<const double>(yvar_store_->row(i), static_cast<std::size_t>(num_metrics_));
    }
    return out;
}

Matrix MirotBackend::gather_x(std::span<const std::uint64_t> rows) const { return x_store_.mmap_gather(rows); }
Matrix MirotBackend::gather_y(std::span<const std::uint64_t> rows) const { return y_store_.mmap_gather(rows); }
std::optional<Matrix> MirotBackend::gather_yvar(std::span<const std::uint64_t> rows) const {
    if (!yvar_store_) return std::nullopt;
    return yvar_store_->mmap_gather(rows);
}

void MirotBackend::append(const BlockView& x, const BlockView& y, const std::optional<BlockView>& yvar) {
    const std::uint64_t k = x.rows;
    if (k == 0) return;
    const std::uint64_t n = num_obs();
    if (y.rows != k || (yvar && yvar->rows != k)) throw MirotError::invalid_parameter("row counts of x, y and yvar differ");
    // Checked before anything is written: a store refusing its block half-way would
    // leave the other files a block ahead.
    if (x.cols != num_dim_) throw MirotError::invalid_shape({n, num_dim_}, {k, x.cols});
    if (y.cols != num_metrics_) throw MirotError::invalid_shape({n, num_metrics_}, {k, y.cols});
    if (yvar && yvar->cols != num_metrics_) throw MirotError::invalid_shape({n, num_metrics_}, {k, yvar->cols});
    if (n > 0 && yvar_store_.has_value() != yvar.has_value())
        throw MirotError::invalid_parameter("variances must be given for every row or for none");

    // Room first in every file, so that nothing below can fail half-way.
    x_store_.ensure_capacity(n + k);
    y_store_.ensure_capacity(n + k);
    std::optional<MmapColumnStore> new_yvar;
    const std::string yvar_path = join(work_dir_, "train_yvar.bin");
    if (yvar && yvar_store_) {
        yvar_store_->ensure_capacity(n + k);
    } else if (yvar) {
        const bool existed = path_exists(yvar_path);
        try {
            new_yvar = mmap_open_or_create(yvar_path, num_metrics_, n);
            new_yvar->ensure_capacity(n + k);
        } catch (...) {
            new_yvar.reset();
            if (!existed) ::unlink(yvar_path.c_str());
            throw;
        }
    }

    // The pending totals refuse a short scale before they change anything; after them
    // no step can fail.
    std::optional<std::span<const double>> scale;
    if (scale_x_) scale = std::span<const double>(x_scale_);
    index_.note_pending_rows(x, scale);
    x_store_.mmap_append(x);
    y_store_.mmap_append(y);
    if (yvar) {
        if (new_yvar) yvar_store_ = std::move(new_yvar);
        yvar_store_->mmap_append(*yvar);
    }
    pending_rows_.fetch_add(k);
    set_index_dirty();
    small_n_x_cache_.clear();
    // Published last: a reader that sees the count finds the rows.
    write_num_obs(n + k);
}

void MirotBackend::ensure_index_sync() {
    if (index_.indexed_rows < num_obs()) {
        index_.ensure_sync(sync_source(), num_obs());
        pending_rows_ = 0;
        release_resident_pages();
        return;
    }
    pending_rows_ = 0;
}

bool MirotBackend::update_x_scaling(bool scale_x, std::span<const double> x_scale) {
    if (same_scaling(scale_x, x_scale, scale_x_, x_scale_)) return false;
    scale_x_ = scale_x;
    x_scale_.assign(x_scale.begin(), x_scale.end());
    reset_index();
    return true;
}

void MirotBackend::reset_index() {
    index_ = IncrementalIndex(work_dir_ / "index");
    pending_rows_ = num_obs();
    ++generation_;
    set_index_dirty();
}

std::optional<MirotBackend::BuiltIndex> MirotBackend::soft_sync_build() const {
    if (index_.indexed_rows >= num_obs()) return std::nullopt;
    return BuiltIndex{index_.sync_beside(sync_source(), num_obs()), generation_, index_.indexed_rows};
}

void MirotBackend::soft_sync_publish(BuiltIndex built) {
    if (built.generation != generation_ || built.base_rows != index_.indexed_rows ||
        built.sync.base_fragments != index_.fragments.size())
        return;
    index_.install(std::move(built.sync));
    // Rows added while the copy was built are still pending.
    pending_rows_ = num_obs() - index_.indexed_rows;
}

void MirotBackend::release_resident_pages() {
    x_store_.release_resident_pages();
    y_store_.release_resident_pages();
    if (yvar_store_) yvar_store_->release_resident_pages();
}

void MirotBackend::sync_row_files() {
    // The rows reach stable storage before any file that counts them.
    sync_file(x_store_.path());
    sync_file(y_store_.path());
    if (yvar_store_) sync_file(yvar_store_->path());
    sync_file(join(work_dir_, "num_obs.bin"));
}

bool MirotBackend::index_files_match() const {
    const std::filesystem::path& dir = index_.index_dir;
    std::uint64_t on_disk = 0;
    const std::string header_path = join(dir, "header.json");
    if (path_exists(header_path)) {
        const std::optional<std::string> text = read_file_bounded(header_path, kSmallFileLimit);
        if (!text) return false;
        try {
            on_disk = parse_index_header(*text).indexed_rows;
        } catch (const MirotError&) {
            return false;
        }
    }
    if (on_disk != num_obs()) return false;
    if (index_.fragments.empty()) return num_obs() == 0;
    // What a persist would write: the forest as one fragment.
    const MirotIndex* one = &index_.fragments.front();
    std::optional<MirotIndex> merged;
    if (index_.fragments.size() > 1) {
        merged = concat_merge(index_.fragments, dir);
        one = &*merged;
    }
    return file_equals(join(one->persist_dir, "pages.bin"), pages_bin_bytes(*one)) &&
           file_equals(join(one->persist_dir, "skip_edges.bin"), skip_edges_bytes(one->skip_edges));
}

void MirotBackend::persist_index() {
    if (!index_dirty() && index_files_match()) {
        pending_rows_ = 0;
        PoisonMutex::Guard guard = index_dirty_mutex_.lock();
        index_dirty_ = false;
        return;
    }
    index_.ensure_sync(sync_source(), num_obs());
    if (!index_.fragments.empty() || index_.indexed_rows != 0) {
        sync_row_files();
        if (index_.fragments.size() > 1) {
            concat_merge(index_.fragments, index_.index_dir).persist();
        } else if (index_.fragments.size() == 1) {
            index_.fragments.front().persist();
        }
        const std::string dir = work_dir_.string();
        mirot_write_metadata(dir, num_obs(), num_dim_, num_metrics_, scale_x_, index_.indexed_rows);
        write_indexed_rows(dir, index_.indexed_rows);
    }
    pending_rows_ = 0;
    PoisonMutex::Guard guard = index_dirty_mutex_.lock();
    if (index_dirty_mutex_.poisoned()) throw qelbo::Panic("index_dirty");
    index_dirty_ = false;
}

std::uint64_t MirotBackend::index_file_bytes() const {
    std::uint64_t total = 0;
    for (const MirotIndex& f : index_.fragments)
        for (const char* name : {"header.json", "pages.bin", "skip_edges.bin"})
            total += file_size(join(f.persist_dir, name)).value_or(0);
    return total;
}

SearchResult MirotBackend::search(const BlockView& queries, std::int64_t search_k, bool exclude_nearest) const {
    const std::uint64_t n = num_obs();
    // A negative count reads as a huge unsigned one and so asks for every row; a count
    // of 0 (or an empty store) asks for none.
    const std::uint64_t out_k = std::min(static_cast<std::uint64_t>(search_k), n);
    if (out_k == 0) return SearchResult{queries.rows, 0, {}, {}};
    const int k = static_cast<int>(std::min<std::uint64_t>(out_k, std::numeric_limits<int>::max()));
    const SearchInputs in{&x_store_, static_cast<std::size_t>(num_dim_), x_scale_, scale_x_, index_.fragments,
                          index_.indexed_rows};
    SearchResult res = forest_search(in, small_n_x_cache_, queries, k, exclude_nearest);
    complete_short_answers(queries, static_cast<std::uint64_t>(k), exclude_nearest, res);
    return res;
}

void MirotBackend::complete_short_answers(const BlockView& queries, std::uint64_t k, bool exclude_nearest,
                                          SearchResult& res) const {
    // The page index may reach fewer rows than asked for (a small leaf, one fragment
    // searched). Every caller relies on full answers, so such a query is answered by
    // scoring every row instead; it is rare and costs one pass over the rows.
    const std::uint64_t n = num_obs();
    const std::size_t k_search = static_cast<std::size_t>(std::min(k + (exclude_nearest ? 1 : 0), n));
    const std::size_t expected = k_search - (exclude_nearest && k_search >= 2 ? 1 : 0);
    const std::size_t want = std::min(res.out_k, expected);
    std::vector<std::size_t> short_queries;
    for (std::size_t i = 0; i < res.num_queries; ++i) {
        const std::int64_t* idx = res.indices.data() + i * res.out_k;
        if (static_cast<std::size_t>(std::count_if(idx, idx + want, [](std::int64_t v) { return v >= 0; })) < want)
            short_queries.push_back(i);
    }
    if (short_queries.empty()) return;
    // The rows are streamed through a bounded selection per query, a block of short
    // queries per pass: memory stays O(k) per query whatever the row count.
    const SearchSource source{&x_store_, x_scale_, scale_x_};
    const std::size_t width = std::min(static_cast<std::size_t>(num_dim_), search_row_width(source));
    constexpr std::size_t kBlock = 16;
    qelbo::parallel_for_ranges(short_queries.size(), kBlock, [&](std::size_t begin, std::size_t end) {
        const std::size_t nq = end - begin;
        std::vector<float> block(nq * width);
        for (std::size_t b = 0; b < nq; ++b) {
            const std::size_t i = short_queries[begin + b];
            for (std::size_t j = 0; j < width; ++j) {
                const double v = j < queries.cols ? queries(i, j) : 0.0;
                block[b * width + j] = static_cast<float>(scale_x_ && j < x_scale_.size() ? v / x_scale_[j] : v);
            }
        }
        std::vector<Candidate> nearest[kBlock];
        nearest_stored_rows(source, block.data(), nq, width, 0, n, k_search, nearest);
        for (std::size_t b = 0; b < nq; ++b) {
            const std::size_t i = short_queries[begin + b];
            const std::vector<Neighbour> merged =
                merge_topk_precomputed_dist(nearest[b], {}, res.out_k, k_search, exclude_nearest);
            double* dist = res.distances.data() + i * res.out_k;
            std::int64_t* idx = res.indices.data() + i * res.out_k;
            for (std::size_t j = 0; j < res.out_k; ++j) {
                dist[j] = j < merged.size() ? merged[j].distance : std::numeric_limits<double>::infinity();
                idx[j] = j < merged.size() ? static_cast<std::int64_t>(merged[j].row) : -1;
            }
        }
    });
}

}  // namespace mirot
