// Gaussian sampling from the random source: the normal distributions GM draws
// its references from.
#pragma once
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "generators/common/rng.hpp"

namespace porosa {

// The two uniform floats a sample is made from. The first is redrawn while
// below 1e-17, so that ln(u1) stays finite: redrawn rather than clamped, the
// sample stays a pure function of the stream.
struct GaussUniforms {
    double u1, u2;
};
inline bool accepted_first_uniform(double u1) noexcept { return !(u1 < 1e-17); }
inline GaussUniforms draw_uniforms(Rng& rng) {
    double u1 = rng.uniform_float();
    while (!accepted_first_uniform(u1)) u1 = rng.uniform_float();
    return {u1, rng.uniform_float()};
}

struct Gauss {
    double mean;
    double scale;  // a standard deviation, used as is
    // Box-Muller, cosine branch. Kept apart from the draws so that the value
    // can be worked out later, or on another thread.
    double from_uniforms(GaussUniforms u) const {
        const double radius = std::sqrt(-2.0 * std::log(u.u1));
        const double z = radius * std::cos(6.283185307179586 * u.u2);
        return z * scale + mean;
    }
    double sample(Rng& rng) const { return from_uniforms(draw_uniforms(rng)); }
};

// One sample per listed column, drawn in list order.
std::vector<double> get_samples(std::span<const std::size_t> columns, const std::vector<Gauss>& dists, Rng& rng);

}  // namespace porosa
