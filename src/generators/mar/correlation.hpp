// Pearson correlation of every two columns of a matrix, for the predictor choice.
#pragma once
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"

namespace porosa::mar {

// cols x cols, row-major. A column with zero spread, or holding a NaN or an
// infinity, has NaN in its whole row and column, diagonal included; every other
// diagonal entry is 1. The result does not depend on the number of workers.
// An empty matrix is the internal failure
// "Failed to calculate pearson_correlation: EmptyInput".
std::vector<double> pearson_correlation(const DataMatrix& data, Pool& pool);

}  // namespace porosa::mar
