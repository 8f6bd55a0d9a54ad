// The centre and spread of a column's distribution from a few of its order
// statistics, found by selection rather than a sort of the column.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "generators/common/gauss.hpp"
#include "generators/utils/rank_select.hpp"

namespace porosa {

// Which order statistics the centre of `n` observed keys needs, for the
// quantile position `mean`.
struct CentreRanks {
    bool select;  // else the centre is the lowest key (i == 0) or the highest
    bool pair;    // the centre is the mean of ranks i - 1 and i, else rank i
    std::size_t i;
};
CentreRanks centre_ranks(std::size_t n, double mean);

// The distribution from those ranks and the column's two ends.
Gauss gauss_of(CentreRanks q, Ranked r, std::uint64_t min, std::uint64_t max, double variance);

// Nothing observed: no centre and no spread. A reference drawn from this is
// NaN, which matters only while the column still has a cell to lose, and it
// has none.
Gauss no_values();

// `keys` holds the order keys of a column's observed cells (reordered here);
// `rows` counts its cells, missing ones included.
Gauss transform_keys(std::span<std::uint64_t> keys, std::size_t rows, double mean, double variance);

}  // namespace porosa
