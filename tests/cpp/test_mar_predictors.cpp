// The blocked predictor choice, at every register width, against the plain one
// on the full matrix.
#include <cmath>
#include <limits>
#include <vector>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/mar/correlation.hpp"
#include "generators/mar/removal.hpp"
#include "harness.hpp"
#include "test_mar_support.hpp"

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

}  // namespace

TEST(mar_best, same_records_as_the_full_matrix) {
    struct Case {
        std::size_t rows, cols, missing;
    };
    // One row; more columns than rows; row blocks with a remainder; several tiles
    // of both kinds; few missing columns against many observed (split in parts);
    // nothing observed; nothing missing.
    const Case cases[] = {{1, 40, 10},  {3, 200, 50},  {130, 100, 25}, {300, 150, 40},
                          {40, 700, 3}, {20, 12, 12}, {20, 12, 0}};
    Pool one(1), three(3);
    for (std::uint64_t seed = 0; seed < 4; ++seed)
        for (const Case& k : cases) {
            const DataMatrix m = seed == 0 ? random_matrix(k.rows, k.cols, 5) : awkward_matrix(k.rows, k.cols, seed);
            Rng rng = rng_from_u64(seed);
            const std::vector<std::size_t> order = shuffle_columns(k.cols, rng);
            const std::span<const std::size_t> missing(order.data(), k.missing);
            const std::span<const std::size_t> observed(order.data() + k.missing, k.cols - k.missing);
            const std::vector<Predictor> want =
                choose_predictors(missing, observed, pearson_correlation(m, one), k.cols);
            for (Pool* pool : {&one, &three})
                for (std::size_t lanes : supported_lanes()) {
                    const std::vector<Predictor> got = best_predictors(m, missing, observed, *pool, lanes);
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
