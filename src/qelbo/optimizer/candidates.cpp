#include "qelbo/optimizer/candidates.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "qelbo/numerics/sobol_engine.h"
#include "base/std_rng.h"

namespace qelbo {

namespace {

// One uniform sampler per dimension; a dimension without width has none.
std::vector<std::optional<Uniform<double>>> per_dimension_uniforms(std::span<const double> lower,
                                                                   std::span<const double> upper) {
    std::vector<std::optional<Uniform<double>>> out;
    out.reserve(lower.size());
    for (std::size_t j = 0; j < lower.size(); ++j) {
        if (lower[j] < upper[j]) {
            out.emplace_back(Uniform<double>(lower[j], upper[j]));
        } else {
            out.emplace_back(std::nullopt);
        }
    }
    return out;
}

double draw_in(const std::optional<Uniform<double>>& u, double lower, StdRng& rng) {
    return u ? u->sample(rng) : lower;
}

constexpr int kRaaspPerturbations = 20;

}  // namespace

Array2 latin_hypercube(std::size_t d, std::size_t n, StdRng& rng) {
    Array2 x(n, d);
    std::vector<std::uint64_t> perm(n);
    const double nf = static_cast<double>(n);
    for (std::size_t j = 0; j < d; ++j) {
        std::iota(perm.begin(), perm.end(), std::uint64_t{0});
        // Fisher-Yates from the back with 64-bit index draws (not the 32-bit slice shuffle).
        for (std::size_t i = n; i-- > 1;) {
            const std::uint64_t k = rng.gen_range_inclusive_usize(0, i);
            std::swap(perm[i], perm[k]);
        }
        for (std::size_t r = 0; r < n; ++r) {
            const double u = rng.gen_f64();
            const double p = static_cast<double>(perm[r]);
            const double lo = p / nf;
            const double hi = (p + 1.0) / nf;
            x(r, j) = lo + u * (hi - lo);
        }
    }
    return x;
}

Array2 ask_init(InitDesign design, std::size_t d, std::size_t n, StdRng& rng) {
    if (design == InitDesign::LatinHypercube) return latin_hypercube(d, n, rng);
    const std::vector<double> lower(d, 0.0), upper(d, 1.0);
    return generate_uniform(lower, upper, n, rng);
}

Array2 generate_uniform(std::span<const double> lower, std::span<const double> upper, std::size_t n, StdRng& rng) {
    expect(lower.size() == upper.size(), "uniform bounds of equal length");
    const std::size_t d = lower.size();
    const auto dists = per_dimension_uniforms(lower, upper);
    Array2 x(n, d);
    for (std::size_t i = 0; i < n; ++i) {
        double* row = x.row(i);
        for (std::size_t j = 0; j < d; ++j) row[j] = draw_in(dists[j], lower[j], rng);
    }
    return x;
}

Array2 sobol_candidates(SobolEngine& engine, std::span<const double> shift, const CandidateBox& box,
                        std::size_t n) {
    const std::size_t d = box.lo.size();
    expect(engine.dims() == d && shift.size() == d, "Sobol engine, shift and box share the dimension");
    Array2 x(n, d);
    for (std::size_t i = 0; i < n; ++i) {
        double* row = x.row(i);
        if (!engine.next_into(row)) throw QELError::invalid_parameter("Sobol sequence exhausted");
        for (std::size_t j = 0; j < d; ++j) {
            const double u = std::fmod(row[j] + shift[j], 1.0);
            row[j] = box.lo[j] + u * (box.hi[j] - box.lo[j]);
        }
    }
    return x;
}

Array2 raasp_candidates(std::span<const double> center, const CandidateBox& box,
                        const std::optional<std::vector<double>>& lengthscales, std::size_t n, StdRng& rng) {
    const std::size_t d = center.size();
    expect(box.lo.size() == d && box.hi.size() == d, "centre and box share the dimension");
    Array2 x(n, d);
    if (d == 0) return x;

    std::vector<double> cumulative(d);
    double weight_sum = 0.0;
    const bool weighted = lengthscales.has_value() && lengthscales->size() == d &&
                          (weight_sum = std::accumulate(lengthscales->begin(), lengthscales->end(), 0.0)) > 0.0;
    double running = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        running += weighted ? (*lengthscales)[j] / weight_sum : 1.0 / static_cast<double>(d);
        cumulative[j] = running;
    }

    const auto dists = per_dimension_uniforms(box.lo, box.hi);
    for (std::size_t i = 0; i < n; ++i) {
        double* row = x.row(i);
        std::copy(center.begin(), center.end(), row);
        for (int t = 0; t < kRaaspPerturbations; ++t) {
            const double u = rng.gen_f64();
            std::size_t j = static_cast<std::size_t>(
                std::lower_bound(cumulative.begin(), cumulative.end(), u) - cumulative.begin());
            if (j >= d) j = d - 1;
            row[j] = draw_in(dists[j], box.lo[j], rng);
        }
    }
    return x;
}

}  // namespace qelbo
