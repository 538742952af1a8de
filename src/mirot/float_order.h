#pragma once
// Orders for f32 distances that may be NaN. On NaN-free input they agree with `<`,
// so stable sorts give the usual result; NaN sorts after every number and all NaNs
// are equivalent, which keeps sorts well defined.

#include <cmath>

namespace mirot {

inline bool nan_last_less(float a, float b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

}  // namespace mirot
