#pragma once
#include <string>

namespace qelbo {

// Shortest round-trip digits in positional notation, never an exponent:
// 1.0 -> "1", 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN", inf -> "inf".
std::string format_f64(double value);

}  // namespace qelbo
