// Plain forms that only the tests use: the references faster code is checked
// against, and a shorthand for running a loop on the global pool.
#pragma once
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"
#include "generators/mar/correlation.hpp"

namespace porosa {

// body(i) for every i in [0, n) on the global pool.
template <class F>
void parallel_for(std::size_t n, F&& body) {
    Pool::global().run(n, std::forward<F>(body));
}

}  // namespace porosa

namespace porosa::mar {

// cols x cols, row-major, with the definition of best_predictors; every
// diagonal entry of a column without NaN correlations is 1. Fails on an empty
// matrix with "Failed to calculate pearson_correlation: EmptyInput".
std::vector<double> pearson_correlation(const DataMatrix& data, Pool& pool);

// For each missing column, the observed column of strictly largest |corr|,
// the earliest in `observed` on ties; when none is positive, the first observed
// column, or column 0 when no column is observed. `corr` is the cols x cols
// matrix of pearson_correlation.
std::vector<Predictor> choose_predictors(std::span<const std::size_t> missing, std::span<const std::size_t> observed,
                                         std::span<const double> corr, std::size_t cols);

}  // namespace porosa::mar
