// Pearson correlation of columns of a matrix, for the predictor choice.
#pragma once
#include <cstddef>
#include <span>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"

namespace porosa::mar {

// corr(a, b) = sum(da * db) / (sqrt(sum(da^2)) * sqrt(sum(db^2))), with d the
// value minus the column mean and every sum in row order: the covariance over
// the product of the standard deviations, the degrees of freedom cancelled.
// The sums run over the rows where both columns hold a value (not NaN), so a
// column with gaps still correlates with the others; each column is first
// shifted by its value in the first of those rows, so that one flat over them
// has exactly zero spread. A pair with fewer than two such rows, a column flat
// over them, or an infinity among them gives NaN. Each pair gets the same bits
// for any number of workers.

// The best predictor found so far for one missing column.
struct Predictor {
    double abs_corr = 0.0;
    std::size_t column = 0;
};

// For each missing column, the observed column of strictly largest |corr|, the
// earliest in `observed` on ties; when none is positive, the first observed
// column, or column 0 when no column is observed. The matrix has rows and
// columns (mar::check_input). Computed block by block without ever holding the
// matrix of correlations: memory grows with the columns, not their square (on
// data with gaps, the columns paired with one are copied once, up to the size
// of the data). `missing` and `observed` are disjoint. Vector registers serve
// as many pairs as the processor allows.
std::vector<Predictor> best_predictors(const DataMatrix& data, std::span<const std::size_t> missing,
                                       std::span<const std::size_t> observed, Pool& pool);

}  // namespace porosa::mar
