#pragma once
// Small builders shared by the model and posterior tests.

#include <optional>
#include <random>
#include <vector>

#include "qelbo/core/array.h"
#include "qelbo/model/model.h"
#include "test_util.h"

namespace qelbo::testing {

inline Array2 mat(std::size_t rows, std::size_t cols, std::vector<double> values) {
    return Array2(rows, cols, std::move(values));
}

inline Vantorix memory_model(Array2 x, Array2 y, std::optional<Array2> yvar = std::nullopt, bool scale_x = false) {
    return Vantorix::new_with_storage(std::move(x), std::move(y), std::move(yvar), scale_x, IndexDriver::Exact,
                                      StorageMode::Memory, std::nullopt);
}

// Integer coordinates in [0, range): exact in f32, so every distance is exact and ties abound.
inline Array2 integer_grid(std::mt19937_64& rng, std::size_t rows, std::size_t cols, int range) {
    std::uniform_int_distribution<int> u(0, range - 1);
    Array2 a(rows, cols);
    for (double& v : a.data) v = u(rng);
    return a;
}

inline Array2 gaussian(std::mt19937_64& rng, std::size_t rows, std::size_t cols) {
    std::normal_distribution<double> g;
    Array2 a(rows, cols);
    for (double& v : a.data) v = g(rng);
    return a;
}

}  // namespace qelbo::testing
