#include "qelbo/model/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <shared_mutex>

#include "mirot/atomic_file.h"
#include "mirot/observation.h"
#include "mirot/posix_file.h"

// Header-only and without exceptions: no shared library to ship beside the module.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

namespace qelbo {

namespace {

// A configuration file is a few hundred bytes; a huge one is not read at all.
constexpr std::size_t kConfigMaxBytes = 1 << 20;
constexpr std::uint64_t kDefaultHardThreshold = 3000;

struct PathOverride {
    std::shared_mutex lock;
    std::optional<std::string> path;
};

PathOverride& path_override() {
    static PathOverride* o = new PathOverride();
    return *o;
}

MirotConfig default_record() {
    MirotConfig c;
    c.pending_hard_flush_threshold = kDefaultHardThreshold;
    return c;
}

// Only when nothing is there: an existing file, even one that could not be looked
// at, is never replaced. The text goes to a private temporary first and is linked
// into place, so a reader never sees half a file and a racing creator is not
// overwritten.
void create_default_file(const std::string& path) {
    if (path.empty()) return;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 || errno != ENOENT) return;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec) return;
    }
    static std::atomic<unsigned> counter{0};
    std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    try {
        mirot::write_file_synced(tmp, default_config_text());
    } catch (const mirot::MirotError&) {
        ::unlink(tmp.c_str());
        return;
    }
    if (::link(tmp.c_str(), path.c_str()) == 0) {
        try {
            mirot::sync_directory(mirot::parent_directory(path));
        } catch (const mirot::MirotError&) {
        }
    } else if (errno == EPERM || errno == EOPNOTSUPP) {
        // A file system without hard links: fall back to an exclusive create.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            mirot::UniqueFd file(fd);
            try {
                mirot::write_all(fd, default_config_text());
            } catch (const mirot::MirotError&) {
            }
        }
    }
    ::unlink(tmp.c_str());
}

// The [mirot] table over the defaults; nothing when any key is unusable.
std::optional<MirotConfig> read_table(const toml::table& doc) {
    const toml::node* node = doc.get("mirot");
    if (!node) return default_record();
    const toml::table* table = node->as_table();
    if (!table) return std::nullopt;

    MirotConfig c;
    bool ok = true;
    auto read = [&](const char* key, auto& field) {
        const toml::node* v = table->get(key);
        if (!v || !ok) return;
        const auto* i = v->as_integer();
        if (!i || i->get() < 0) {
            ok = false;
            return;
        }
        field = static_cast<std::uint64_t>(i->get());
    };
    read("index_compact_rows_per_fragment", c.index_compact_rows_per_fragment);
    read("index_compact_fragment_max", c.index_compact_fragment_max);
    read("search_rows_per_fragment", c.search_rows_per_fragment);
    read("small_fragment_merge_rows", c.small_fragment_merge_rows);
    read("search_fragment_budget_max", c.search_fragment_budget_max);
    read("build_seed", c.build_seed);
    read("pending_flush_threshold", c.pending_flush_threshold);
    read("pending_hard_flush_threshold", c.pending_hard_flush_threshold);
    read("structured_build_row_limit", c.structured_build_row_limit);
    read("search_beam_width", c.search_beam_width);
    read("exhaustive_search_row_limit", c.exhaustive_search_row_limit);
    read("skip_refinement_row_limit", c.skip_refinement_row_limit);
    if (!ok) return std::nullopt;
    return c;
}

}  // namespace

mirot::MirotTuning MirotConfig::to_tuning() const {
    mirot::MirotTuning t;
    t.index_compact_rows_per_fragment = index_compact_rows_per_fragment;
    t.index_compact_fragment_max = index_compact_fragment_max;
    t.search_rows_per_fragment = search_rows_per_fragment;
    t.small_fragment_merge_rows = small_fragment_merge_rows;
    t.search_fragment_budget_max = search_fragment_budget_max;
    t.build_seed = build_seed;
    t.pending_flush_threshold = pending_flush_threshold;
    t.pending_hard_flush_threshold =
        pending_hard_flush_threshold.value_or(std::max(pending_flush_threshold, kDefaultHardThreshold));
    t.structured_build_row_limit = structured_build_row_limit;
    t.search_beam_width = search_beam_width;
    t.exhaustive_search_row_limit = exhaustive_search_row_limit;
    t.skip_refinement_row_limit = skip_refinement_row_limit;
    return t;
}

const std::string& default_config_text() {
    static const std::string text =
        "[mirot]\n"
        "index_compact_rows_per_fragment = 10000\n"
        "index_compact_fragment_max = 32\n"
        "search_rows_per_fragment = 80000\n"
        "small_fragment_merge_rows = 15000\n"
        "search_fragment_budget_max = 1\n"
        "pending_flush_threshold = 250\n"
        "pending_hard_flush_threshold = 3000\n"
        "structured_build_row_limit = 1024\n"
        "search_beam_width = 1\n"
        "exhaustive_search_row_limit = 2500\n"
        "skip_refinement_row_limit = 150000\n";
    return text;
}

std::string Config::path() {
    std::shared_lock guard(path_override().lock);
    if (path_override().path) return *path_override().path;
    const char* base = std::getenv("HOME");
    if (!base) base = std::getenv("USERPROFILE");
    if (!base) base = ".";
    return (std::filesystem::path(base) / ".qelbo" / "config.toml").string();
}

MirotConfig Config::load(const std::string& path) {
    create_default_file(path);
    std::optional<std::string> text = mirot::read_file_bounded(path, kConfigMaxBytes);
    if (!text || !mirot::is_valid_utf8(*text)) return default_record();
    toml::parse_result parsed = toml::parse(std::string_view(*text));
    if (!parsed) return default_record();
    std::optional<MirotConfig> config = read_table(parsed.table());
    if (!config || config->to_tuning().validate()) return default_record();
    return *config;
}

void set_config_path_override(std::optional<std::string> path) {
    std::unique_lock guard(path_override().lock);
    path_override().path = std::move(path);
}

void install_mirot_tuning_from_config() {
    const mirot::MirotTuning tuning = Config::load(Config::path()).to_tuning();
    mirot::set_tuning_provider([tuning] { return tuning; });
}

}  // namespace qelbo
