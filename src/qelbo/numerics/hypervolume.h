#pragma once
// Area dominated by two-objective points above a reference point (both maximised).

#include <cstddef>
#include <span>
#include <string>

#include "qelbo/core/error.h"
#include "qelbo/core/array.h"

namespace qelbo {

class HypervolumeError : public CoreError {
public:
    enum class Kind { YShape, RefPointShape };
    // "y must have 2 columns, got shape [rows, cols]"
    static HypervolumeError y_shape(std::size_t rows, std::size_t cols);
    // "ref_point must have 2 elements, got shape <len>"
    static HypervolumeError ref_point_shape(std::size_t len);
    Kind kind() const { return kind_; }

private:
    HypervolumeError(Kind kind, const std::string& text) : CoreError(text), kind_(kind) {}
    Kind kind_;
};

// Exact area of the union of the boxes [r0, a_i] x [r1, b_i] over the points
// strictly above the reference in both objectives. y has one row per point.
double hypervolume_2d_max(MatView y, std::span<const double> ref_point);

}  // namespace qelbo
