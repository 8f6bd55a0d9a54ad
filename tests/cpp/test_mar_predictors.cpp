// The blocked predictor choice, at every register width, against the plain one
// on the full matrix; correlations of columns with gaps.
#include <cmath>
#include <limits>
#include <vector>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/mar/correlation.hpp"
#include "generators/mar/removal.hpp"
#include "harness.hpp"
#include "reference.hpp"
#include "test_mar_support.hpp"
#include "seams.hpp"

using namespace porosa;
using namespace porosa::mar;

namespace {

// Random data with every kind of column that decides a choice by its rounding or
// its special values: exact ties (copies, negated and power-of-two multiples of
// another column), constant columns, NaN and infinities, values whose squares
// underflow (zero spread but not constant: infinite correlations) or overflow.
DataMatrix awkward_matrix(std::size_t rows, std::size_t cols, std::uint64_t seed) {
    DataMatrix m = random_matrix(rows, cols, seed);
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity()};
    for (std::size_t c = 0; c < cols; ++c) {
        const std::size_t src = (c * 7 + seed) % cols, r = (c * 13) % rows;
        for (std::size_t i = 0; i < rows; ++i) {
            double& x = m(i, c);
            switch ((c + seed) % 11) {
                case 0: x = m(i, src); break;
                case 1: x = -m(i, src); break;
                case 2: x = 4.0 * m(i, src); break;
                case 3: x = 0.1; break;
                case 4: x *= 1e-170; break;
                case 5: x *= 1e300; break;
                case 6: if (i == r) x = specials[c % 3]; break;
                default: break;
            }
        }
    }
    return m;
}

// awkward_matrix with gaps in most columns: scattered, on every odd row (so that
// a column constant on the even rows is flat over their common rows but not
// overall, and an infinity on an odd row drops out), everywhere, everywhere but
// one row, in one half of the rows or in the other (one common row).
DataMatrix gappy_matrix(std::size_t rows, std::size_t cols, std::uint64_t seed) {
    DataMatrix m = awkward_matrix(rows, cols, seed);
    Rng rng = rng_from_u64(seed + 100);
    const double nan = missing_nan();
    for (std::size_t c = 0; c < cols; ++c) {
        const std::size_t kind = (c * 5 + seed) % 8, half = rows / 2;
        for (std::size_t r = 0; r < rows; ++r) {
            double& x = m(r, c);
            switch (kind) {
                case 1: if (rng.index_below(10) == 0) x = nan; break;
                case 2: if (r % 2 == 1) x = nan; break;
                case 3: x = nan; break;
                case 4: if (r != c % rows) x = nan; break;
                case 5: if (r < half) x = nan; break;
                case 6: if (r > half) x = nan; break;
                case 7: if (r % 2 == 0) x = 2.5; break;
                default: break;
            }
        }
    }
    return m;
}

bool same_or_both_nan(double a, double b) {
    return std::isnan(a) ? std::isnan(b) : harness::bits(a) == harness::bits(b);
}

}  // namespace

TEST(mar_best, same_records_as_the_full_matrix) {
    struct Case {
        std::size_t rows, cols, missing;
    };
    // One row; more columns than rows; row blocks with a remainder, on narrow
    // and wide rows; several tiles of both kinds; few missing columns against
    // many observed (split in parts); nothing observed; nothing missing.
    const Case cases[] = {{1, 40, 10},   {3, 200, 50},  {130, 100, 25}, {300, 150, 40}, {290, 30, 8},
                          {40, 700, 3}, {20, 12, 12}, {20, 12, 0}};
    Pool one(1), three(3);
    for (std::uint64_t seed = 0; seed < 8; ++seed)
        for (const Case& k : cases) {
            const DataMatrix m = seed == 0  ? random_matrix(k.rows, k.cols, 5)
                                 : seed < 4 ? awkward_matrix(k.rows, k.cols, seed)
                                            : gappy_matrix(k.rows, k.cols, seed);
            Rng rng = rng_from_u64(seed);
            const std::vector<std::size_t> order = shuffle_columns(k.cols, rng);
            const std::span<const std::size_t> missing(order.data(), k.missing);
            const std::span<const std::size_t> observed(order.data() + k.missing, k.cols - k.missing);
            const std::vector<Predictor> want =
                choose_predictors(missing, observed, pearson_correlation(m, one), k.cols);
            for (Pool* pool : {&one, &three})
                for (std::size_t lanes : supported_lanes()) {
                    const std::vector<Predictor> got = best_predictors_in_lanes(m, missing, observed, *pool, lanes);
                    ASSERT_EQ(got.size(), want.size());
                    for (std::size_t i = 0; i < want.size(); ++i) {
                        EXPECT_EQ(got[i].column, want[i].column);
                        EXPECT_BITEQ(got[i].abs_corr, want[i].abs_corr);
                    }
                }
        }
}

TEST(mar_best, empty_input_fails) {
    Pool pool(2);
    const std::vector<std::size_t> none, first{0};
    for (auto [rows, cols] : {std::pair{0u, 3u}, std::pair{3u, 0u}, std::pair{0u, 0u}}) {
        DataMatrix m(rows, cols);
        EXPECT_THROW_MSG(best_predictors(m, cols ? first : none, none, pool), Panic,
                         "Failed to calculate pearson_correlation: EmptyInput");
    }
}

// A pair with a gap is correlated as if the matrix held only their common rows:
// the same bits as the complete two-column matrix of those rows.
TEST(mar_corr, gaps_correlate_over_common_rows) {
    Pool pool(3);
    for (std::uint64_t seed = 4; seed < 8; ++seed) {
        const std::size_t rows = 9 + seed, cols = 24;
        const DataMatrix m = gappy_matrix(rows, cols, seed);
        const std::vector<double> corr = pearson_correlation(m, pool);
        for (std::size_t a = 0; a < cols; ++a)
            for (std::size_t b = a + 1; b < cols; ++b) {
                std::vector<double> common;
                for (std::size_t r = 0; r < rows; ++r)
                    if (!std::isnan(m(r, a)) && !std::isnan(m(r, b))) common.insert(common.end(), {m(r, a), m(r, b)});
                double want = std::numeric_limits<double>::quiet_NaN();
                if (!common.empty()) want = pearson_correlation(DataMatrix(common.size() / 2, 2, common), pool)[1];
                EXPECT_TRUE(same_or_both_nan(corr[a * cols + b], want));
                EXPECT_TRUE(same_or_both_nan(corr[b * cols + a], want));
            }
    }
}
