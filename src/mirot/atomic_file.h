#pragma once
// Replacing a small file so that a crash leaves either the old or the new bytes,
// never a torn file: write "<path>.tmp", sync it, rename it over the path, then
// sync the directory so the rename itself survives.

#include <string>
#include <string_view>

namespace mirot {

// Creates or truncates `path` (0666 before the umask), writes `bytes` and syncs the
// file before closing it. Fails with MirotError::InvalidParameter.
void write_file_synced(const std::string& path, std::string_view bytes);

// The directory part of `path` ("." when it has none).
std::string parent_directory(const std::string& path);

// The whole replacement; on failure the temporary file is removed and `path` keeps
// its previous bytes.
void write_file_atomic(const std::string& path, std::string_view bytes);

}  // namespace mirot
