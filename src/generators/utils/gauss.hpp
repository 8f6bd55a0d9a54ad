// Gaussian sampling and the per-column distributions of mode GM.
#pragma once
#include <cstddef>
#include <span>
#include <vector>

#include "core/data_matrix.hpp"
#include "generators/common/rng.hpp"

namespace porosa {

struct Gauss {
    double mean;
    double scale;  // a standard deviation, used as is
    // Box-Muller, cosine branch: two uniform floats unless the first is redrawn.
    double sample(Rng& rng) const;
};

// The distribution of one column: centre at the quantile position `mean` of the
// column sorted in total order, spread `variance` times its range.
Gauss transform(std::vector<double> column, double mean, double variance);

// One Gauss per column, computed in parallel, in column order.
std::vector<Gauss> get_distribution(double mean, double variance, const DataMatrix& data);

// One sample per listed column, drawn in list order.
std::vector<double> get_samples(std::span<const std::size_t> columns, const std::vector<Gauss>& dists, Rng& rng);

}  // namespace porosa
