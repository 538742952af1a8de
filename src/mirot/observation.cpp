#include "mirot/observation.h"

#include <algorithm>
#include <cstring>

#include "mirot/atomic_file.h"
#include "mirot/posix_file.h"

namespace mirot {

namespace {

// metadata.json is one short line; anything far larger is not ours and not read.
constexpr std::size_t kMetadataMaxBytes = 1 << 20;

std::string join(const std::string& dir, const char* name) { return dir + "/" + name; }

std::optional<std::uint64_t> load_u64_file(const std::string& path) {
    auto bytes = read_file_bounded(path, 8);
    if (!bytes || bytes->size() != 8) return std::nullopt;
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>((*bytes)[static_cast<std::size_t>(i)]);
    return v;
}

// The loaders never fail: a metadata.json that cannot be read counts as absent.
std::optional<std::string> load_metadata(const std::string& work_dir) {
    std::optional<std::string> text;
    try {
        text = read_metadata(work_dir);
    } catch (const MirotError&) {
        return std::nullopt;
    }
    if (!text || !is_valid_utf8(*text)) return std::nullopt;
    return text;
}

// One code point of (assumed valid) UTF-8 at i; 0 bytes consumed at the end or on a
// broken sequence, which then counts as no white space.
std::size_t decode(std::string_view s, std::size_t i, std::uint32_t& cp) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = b(i);
    std::size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return 0;
    cp = len == 1 ? b0 : b0 & (0xFF >> (len + 1));
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(i + k) >> 6) != 2) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    return len;
}

// The Unicode White_Space property.
bool is_white_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

}  // namespace

void check_column_limit(std::string_view name, std::uint64_t value) {
    if (value > kMaxColumns)
        throw MirotError::invalid_parameter(std::string(name) + " " + std::to_string(value) + " exceeds maximum " +
                                            std::to_string(kMaxColumns));
}

bool is_valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto b0 = static_cast<unsigned char>(s[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t min;
        if ((b0 >> 5) == 6) {
            len = 2, min = 0x80;
        } else if ((b0 >> 4) == 14) {
            len = 3, min = 0x800;
        } else if ((b0 >> 3) == 30) {
            len = 4, min = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i < len) return false;
        std::uint32_t cp = b0 & (0xFF >> (len + 1));
        for (std::size_t k = 1; k < len; ++k) {
            auto b = static_cast<unsigned char>(s[i + k]);
            if ((b >> 6) != 2) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

std::optional<std::uint64_t> parse_json_usize_field(std::string_view text, std::string_view key) {
    std::string pattern = "\"" + std::string(key) + "\":";
    std::size_t at = text.find(pattern);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t i = at + pattern.size();
    while (i < text.size()) {
        std::uint32_t cp = 0;
        std::size_t len = decode(text, i, cp);
        if (len == 0 || !is_white_space(cp)) break;
        i += len;
    }
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<std::uint64_t>(text[i] - '0'), &value))
            return std::nullopt;
    }
    if (digits == 0) return std::nullopt;
    return value;
}

std::optional<std::string> parse_json_string_field(std::string_view text, std::string_view key) {
    std::string pattern = "\"" + std::string(key) + "\":\"";
    std::size_t at = text.find(pattern);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t start = at + pattern.size();
    std::size_t end = text.find('"', start);
    if (end == std::string_view::npos) return std::nullopt;
    return std::string(text.substr(start, end - start));
}

std::optional<std::string> read_metadata(const std::string& work_dir) {
    const std::string path = join(work_dir, "metadata.json");
    try {
        if (!path_exists(path)) return std::nullopt;
        return read_regular_file(path, kMetadataMaxBytes);
    } catch (const MirotError& e) {
        // The system's texts do not say which file they are about.
        if (e.message().rfind(path, 0) == 0) throw;
        throw MirotError::invalid_parameter(path + ": " + e.message());
    }
}

MirotError stored_rows_error(const std::string& work_dir, std::uint64_t stored) {
    return MirotError::invalid_parameter("work_dir " + work_dir + " already holds " + std::to_string(stored) +
                                         " rows; give empty x and y to reopen it");
}

std::optional<std::uint64_t> mirot_load_num_obs(const std::string& work_dir) {
    std::optional<std::uint64_t> from_file = load_u64_file(join(work_dir, "num_obs.bin"));
    std::optional<std::uint64_t> from_metadata;
    if (auto text = load_metadata(work_dir)) from_metadata = parse_json_usize_field(*text, "num_obs");
    if (from_file && from_metadata) return std::max(*from_file, *from_metadata);
    return from_file ? from_file : from_metadata;
}

std::optional<std::uint64_t> mirot_load_indexed_rows(const std::string& work_dir) {
    if (auto v = load_u64_file(join(work_dir, "indexed_rows.bin"))) return v;
    if (auto text = load_metadata(work_dir)) return parse_json_usize_field(*text, "indexed_rows");
    return std::nullopt;
}

void write_indexed_rows(const std::string& work_dir, std::uint64_t count) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>((count >> (8 * i)) & 0xFF);
    write_file_atomic(join(work_dir, "indexed_rows.bin"), std::string_view(bytes, 8));
}

std::string metadata_text(std::uint64_t num_obs, std::uint64_t num_dim, std::uint64_t num_metrics, bool scale_x,
                          std::uint64_t indexed_rows) {
    return "{\"format_version\":1,\"num_obs\":" + std::to_string(num_obs) + ",\"num_dim\":" +
           std::to_string(num_dim) + ",\"num_metrics\":" + std::to_string(num_metrics) +
           ",\"scale_x\":" + (scale_x ? "true" : "false") +
           ",\"index_backend\":\"mirot_disk\",\"indexed_rows\":" + std::to_string(indexed_rows) + "}";
}

void mirot_write_metadata(const std::string& work_dir, std::uint64_t num_obs, std::uint64_t num_dim,
                          std::uint64_t num_metrics, bool scale_x, std::uint64_t indexed_rows) {
    write_file_atomic(join(work_dir, "metadata.json"),
                      metadata_text(num_obs, num_dim, num_metrics, scale_x, indexed_rows));
}

std::optional<MmapColumnStore> mirot_open_or_append_yvar(const std::string& work_dir, std::uint64_t ncols,
                                                         const std::optional<BlockView>& initial) {
    if (!initial) return std::nullopt;
    MmapColumnStore store =
        mmap_open_or_create(join(work_dir, "train_yvar.bin"), ncols, mirot_load_num_obs(work_dir));
    if (store.nrows() == 0) store.mmap_append(*initial);
    return store;
}

void mirot_append_yvar_on_add(const std::string& work_dir, std::uint64_t ncols,
                              std::optional<MmapColumnStore>& slot, const std::optional<BlockView>& variances) {
    if (!variances) return;
    if (slot) {
        slot->mmap_append(*variances);
        return;
    }
    MmapColumnStore store =
        mmap_open_or_create(join(work_dir, "train_yvar.bin"), ncols, mirot_load_num_obs(work_dir));
    store.mmap_append(*variances);
    slot = std::move(store);
}

}  // namespace mirot
