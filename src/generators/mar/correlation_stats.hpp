// What the units that compute correlations share: per-column figures and the
// search over pairs with gaps.
#pragma once
#include <cstddef>
#include <span>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"
#include "generators/mar/correlation.hpp"

namespace porosa::mar {

struct ColumnStats {
    std::vector<double> shift;   // the column's first value
    std::vector<double> mean;    // mean of the shifted values
    std::vector<double> spread;  // sqrt of the centred sum of squares
    std::vector<char> bad;       // holds a NaN or an infinity
    std::vector<char> flat;      // every value equals the first
    std::vector<char> gaps;      // holds a NaN
    std::vector<char> lone;      // holds fewer than two values (cells that are not NaN)

    // The value whose products with another column's are summed: the cell minus
    // the shift, minus the mean.
    double centred(double x, std::size_t c) const noexcept { return (x - shift[c]) - mean[c]; }

    // Over all the rows, a bad column has NaN correlations by definition. A flat
    // finite one centres to exact zeros, so its sums of products are zeros and
    // its spread is zero: 0 / 0 again. Paired with a column without gaps,
    // neither can ever be a predictor or have one.
    bool never_correlates(std::size_t c) const noexcept { return bad[c] || flat[c]; }

    // Its pairs are taken over the rows where both columns hold a value.
    bool has_gaps(std::size_t c) const noexcept { return gaps[c]; }
};

// Each sum is taken sequentially over the rows, so that the rounding is the same
// for any number of workers.
ColumnStats column_stats(const DataMatrix& data, Pool& pool);

// Folds into `records` the best of the pairs in which at least one column
// holds a NaN, each correlated over the rows where both hold a value. A tie
// goes to the column earlier in `observed`, as in one scan of it.
void merge_gap_predictors(const DataMatrix& data, const ColumnStats& s, std::span<const std::size_t> missing,
                          std::span<const std::size_t> observed, Pool& pool, std::size_t lanes,
                          std::vector<Predictor>& records);

}  // namespace porosa::mar
