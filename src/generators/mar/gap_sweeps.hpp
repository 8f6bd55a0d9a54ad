// The two sweeps of the rows that correlate pairs of columns over the rows
// where both hold a value, many pairs side by side.
#pragma once
#include <cstddef>
#include <vector>

namespace porosa::mar {

// The figures of a tile's pairs, one array per figure, [missing][lane]: up to
// kMiss missing columns against up to kLanes observed ones.
struct TileFigures {
    static constexpr std::size_t kMiss = 32, kLanes = 64;
    // The means hold the shifted sums until the first sweep is done.
    enum Field : std::size_t { kShiftM, kShiftO, kMeanM, kMeanO, kSqM, kSqO, kProd, kCount, kFields };
    std::vector<double> v = std::vector<double>(kFields * kMiss * kLanes);
    double* at(Field f, std::size_t i, std::size_t j) { return v.data() + (f * kMiss + i) * kLanes + j; }
};

// A sweep over nr rows for missing column i and the observed lanes j to
// j + lanes: x holds the missing column's cells, one per row, and y the lanes'
// cells, `lanes` per row. A row counts for a pair when neither cell is NaN.
// The first sweep adds the shifted values into the means' fields and counts
// the rows; the second adds the squares and products of the centred values. Each pair's sums run in
// row order, so the width only changes the speed.
using SweepFn = void (*)(const double* x, const double* y, std::size_t nr, TileFigures& t, std::size_t i,
                         std::size_t j);

struct Sweeps {
    SweepFn sums, squares;
};

// The sweeps for `lanes` pairs at a time: 4 or 8 (8 needs AVX2).
Sweeps gap_sweeps(std::size_t lanes);

}  // namespace porosa::mar
