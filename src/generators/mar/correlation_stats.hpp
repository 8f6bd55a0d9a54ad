// Per-column figures that both ways of computing correlations start from.
#pragma once
#include <cstddef>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"

namespace porosa::mar {

struct ColumnStats {
    std::vector<double> shift;   // the column's first value
    std::vector<double> mean;    // mean of the shifted values
    std::vector<double> spread;  // sqrt of the centred sum of squares
    std::vector<char> bad;       // holds a NaN or an infinity
    std::vector<char> flat;      // every value equals the first

    // The value whose products with another column's are summed: the cell minus
    // the shift, minus the mean.
    double centred(double x, std::size_t c) const noexcept { return (x - shift[c]) - mean[c]; }

    // A bad column has NaN correlations by definition. A flat finite one centres
    // to exact zeros, so its sums of products are zeros and its spread is zero:
    // 0 / 0 again. Neither can ever be a predictor or have one.
    bool never_correlates(std::size_t c) const noexcept { return bad[c] || flat[c]; }
};

// Each sum is taken sequentially over the rows, so that the rounding is the same
// for any number of workers.
ColumnStats column_stats(const DataMatrix& data, Pool& pool);

}  // namespace porosa::mar
