#pragma once
// The work directory's small bookkeeping files and the lazily created variance file.
//   metadata.json     one line of compact JSON, fields found by text search
//   num_obs.bin       rows in use, u64 little-endian (written in place by the backend)
//   indexed_rows.bin  leading rows covered by the index, u64 little-endian
//   train_x.bin, train_y.bin, train_yvar.bin   column stores
// Readers treat a missing, short or malformed file as absent; writers replace the
// small files atomically.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mirot/matrix.h"
#include "mirot/mmap_store.h"

namespace mirot {

// Widths read back from files are bounded so every stride and size product fits.
constexpr std::uint64_t kMaxColumns = 100000;
// Fails with "<name> <value> exceeds maximum 100000".
void check_column_limit(std::string_view name, std::uint64_t value);

// The unsigned decimal after the first `"key":` in the text (white space after the
// colon skipped); digits only, so 3.5 reads as 3. Absent when there is no such key,
// no digit, or the number does not fit 64 bits.
std::optional<std::uint64_t> parse_json_usize_field(std::string_view text, std::string_view key);
// The text between `"key":"` and the next quote.
std::optional<std::string> parse_json_string_field(std::string_view text, std::string_view key);

// The text of `work_dir`/metadata.json; absent when there is no such file. One that is
// there but is not a regular file, is larger than 1 MiB or cannot be read is an error
// naming it.
std::optional<std::string> read_metadata(const std::string& work_dir);

// Rows given for a work directory that already holds `stored` rows would never be stored.
MirotError stored_rows_error(const std::string& work_dir, std::uint64_t stored);

std::optional<std::uint64_t> mirot_load_num_obs(const std::string& work_dir);
std::optional<std::uint64_t> mirot_load_indexed_rows(const std::string& work_dir);

void write_indexed_rows(const std::string& work_dir, std::uint64_t count);

std::string metadata_text(std::uint64_t num_obs, std::uint64_t num_dim, std::uint64_t num_metrics, bool scale_x,
                          std::uint64_t indexed_rows);
void mirot_write_metadata(const std::string& work_dir, std::uint64_t num_obs, std::uint64_t num_dim,
                          std::uint64_t num_metrics, bool scale_x, std::uint64_t indexed_rows);

// The variance store at backend construction: nothing without a block; otherwise
// train_yvar.bin opened (or created) with the recorded row count, the block
// appended only when the file holds no rows yet.
std::optional<MmapColumnStore> mirot_open_or_append_yvar(const std::string& work_dir, std::uint64_t ncols,
                                                         const std::optional<BlockView>& initial);
// The variance store at an add: created at the first variances, appended to after.
void mirot_append_yvar_on_add(const std::string& work_dir, std::uint64_t ncols,
                              std::optional<MmapColumnStore>& slot, const std::optional<BlockView>& variances);

// Whole valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace mirot
