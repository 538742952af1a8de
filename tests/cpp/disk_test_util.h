#pragma once
// Builders for disk-backed models in a scratch work directory.

#include <optional>
#include <string>

#include "mirot/temp_dir.h"
#include "model_test_util.h"
#include "qelbo/model/disk_backend.h"
#include "qelbo/model/config_file.h"
#include "qelbo/model/model.h"

namespace qelbo::testing {

// Disk models read the per-user configuration file; tests read (and create) one of
// their own instead of the user's.
inline void use_test_config_file() {
    static const mirot_test::TempDir dir;
    static const bool installed = (set_config_path_override(dir.file("config.toml")), true);
    (void)installed;
}

inline Vantorix disk_model(const std::string& dir, Array2 x, Array2 y, std::optional<Array2> yvar = std::nullopt) {
    use_test_config_file();
    return Vantorix::new_with_storage(std::move(x), std::move(y), std::move(yvar), false, IndexDriver::MiRotDisk,
                                      StorageMode::Disk, dir);
}

// Reopens the store of `dir` (no rows given).
inline Vantorix reopen(const std::string& dir, std::size_t d = 1, std::size_t m = 1) {
    return disk_model(dir, Array2(0, d), Array2(0, m));
}

inline const DiskBackendHandle& handle(const Vantorix& model) { return **model.backend().disk(); }

}  // namespace qelbo::testing
