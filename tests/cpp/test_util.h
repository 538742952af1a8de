#pragma once
// Helpers shared by the core's test files.

#include <limits>
#include <string>

#include "qelbo/core/error.h"
#include "base/std_rng.h"

namespace qelbo::testing {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// The message of the core error f throws, or "<no error>".
template <class F>
std::string error_text(F&& f) {
    try {
        f();
    } catch (const CoreError& e) {
        return e.what();
    }
    return "<no error>";
}

// Two generators are in the same state when their next outputs agree.
inline bool same_state(StdRng a, StdRng b) {
    for (int i = 0; i < 4; ++i)
        if (a.next_u64() != b.next_u64()) return false;
    return true;
}

}  // namespace qelbo::testing
