#pragma once
// Builders for disk-backed models in a scratch work directory.

#include <optional>
#include <string>

#include "mirot/temp_dir.h"
#include "model_test_util.h"
#include "qelbo/model/disk_backend.h"
#include "qelbo/model/model.h"

namespace qelbo::testing {

inline Vantorix disk_model(const std::string& dir, Array2 x, Array2 y, std::optional<Array2> yvar = std::nullopt) {
    return Vantorix::new_with_storage(std::move(x), std::move(y), std::move(yvar), false, IndexDriver::MiRotDisk,
                                      StorageMode::Disk, dir);
}

// Reopens the store of `dir` (no rows given).
inline Vantorix reopen(const std::string& dir, std::size_t d = 1, std::size_t m = 1) {
    return disk_model(dir, Array2(0, d), Array2(0, m));
}

inline const DiskBackendHandle& handle(const Vantorix& model) { return **model.backend().disk(); }

}  // namespace qelbo::testing
