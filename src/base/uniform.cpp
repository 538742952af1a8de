#include "base/uniform.h"

#include <bit>
#include <cmath>

namespace qelbo {

namespace {

// The largest scale s <= start for which too_big(s) is false. too_big grows
// monotonically with s and is false at 0, so a binary search over the bit
// patterns of the non-negative doubles finds the same scale as lowering one ulp
// at a time, without the ~2^51 steps that needs when the range is a few ulps of low.
template <class TooBig>
double lower_scale(double start, TooBig too_big) {
    if (!too_big(start)) return start;
    std::uint64_t ok = 0;                                     // bits of 0.0: never too big
    std::uint64_t bad = std::bit_cast<std::uint64_t>(start);  // too big
    while (bad - ok > 1) {
        const std::uint64_t mid = ok + (bad - ok) / 2;
        if (too_big(std::bit_cast<double>(mid))) {
            bad = mid;
        } else {
            ok = mid;
        }
    }
    return std::bit_cast<double>(ok);
}

}  // namespace

Uniform<double>::Uniform(double low, double high) : low_(low), scale_(0.0) {
    if (!(low < high)) throw Panic("Uniform: cannot sample empty range");
    const double scale = high - low;
    if (!std::isfinite(scale)) throw Panic("Uniform: float range overflow: high - low is not finite");
    scale_ = lower_scale(scale, [&](double s) { return s * detail::kMaxRand52 + low >= high; });
}

Uniform<double> Uniform<double>::new_inclusive(double low, double high) {
    if (!(low <= high)) throw Panic("Uniform: cannot sample empty range");
    const double scale = (high - low) / detail::kMaxRand52;
    if (!std::isfinite(scale)) throw Panic("Uniform: float range overflow: high - low is not finite");
    return Uniform(Parts{low, lower_scale(scale, [&](double s) { return s * detail::kMaxRand52 + low > high; })});
}

}  // namespace qelbo
