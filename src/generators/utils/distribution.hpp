// The per-column distributions of mode GM, from the data.
#pragma once
#include <vector>

#include "core/data_matrix.hpp"
#include "generators/common/gauss.hpp"

namespace porosa {

// The distribution of one column: centre at the quantile position `mean` of the
// column sorted in total order, spread `variance` times its range.
Gauss transform(std::vector<double> column, double mean, double variance);

// One Gauss per column, computed in parallel, in column order.
std::vector<Gauss> get_distribution(double mean, double variance, const DataMatrix& data);

}  // namespace porosa
