// Data shared by the MAR tests.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/data_matrix.hpp"
#include "generators/common/rng.hpp"

// Seeded values in [-5, 5): no ties, no constant columns.
inline porosa::DataMatrix random_matrix(std::size_t rows, std::size_t cols, std::uint64_t seed) {
    porosa::Rng rng = porosa::rng_from_u64(seed);
    porosa::DataMatrix m(rows, cols);
    for (double& x : m.storage()) x = rng.uniform_float() * 10.0 - 5.0;
    return m;
}
