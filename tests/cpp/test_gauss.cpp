#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/panic.hpp"
#include "core/float_bits.hpp"
#include "generators/common/generator.hpp"
#include "generators/common/rng.hpp"
#include "generators/utils/distribution.hpp"
#include "harness.hpp"

using porosa::Gauss;
using porosa::transform;

namespace {

double from_bits(std::uint64_t u) {
    double d;
    std::memcpy(&d, &u, 8);
    return d;
}

const double kNan = from_bits(0x7FF8000000000000ull);
const double kNegNan = from_bits(0xFFF8000000000000ull);
constexpr double kInf = std::numeric_limits<double>::infinity();

struct TransformCase {
    std::vector<double> column;
    double mean, variance;
    double want_mean, want_scale;
};

}  // namespace

TEST(gauss, transform_centre_and_spread) {
    const std::vector<double> c4 = {4, 2, 1, 3}, c3 = {3, 1, 2};
    const TransformCase cases[] = {
        // even count: median is the mean of the middle pair
        {c4, 0.5, 0.0, 2.5, 0.0},
        {c4, 0.0, 0.0, 1.0, 0.0},
        {c4, 1.0, 0.0, 4.0, 0.0},          // i = n averages the top value with itself
        {c4, 7.0, 0.0, 4.0, 0.0},          // past the end: pinned to i = n
        {c4, 0.6, 0.0, 2.5, 0.0},          // floor(2.4) = 2
        {c4, 0.8, 0.0, 3.5, 0.0},          // floor(3.2) = 3
        {c4, -0.3, 0.0, 1.0, 0.0},
        {c4, 0.5, 0.1, 2.5, 0.1 * 3.0},
        {c4, 1e300, 2.0, 4.0, 6.0},        // saturates, then pins
        {c4, kNan, 0.0, 1.0, 0.0},         // NaN position is index 0
        // odd count: the value at the position itself
        {c3, 0.5, 0.0, 2.0, 0.0},
        {c3, -1.0, 0.0, 1.0, 0.0},
        {c3, 0.0, 1.0, 1.0, 2.0},
        {c3, 0.34, 0.0, 2.0, 0.0},         // floor(1.02) = 1
        {c3, 1.0, 0.0, 3.0, 0.0},          // i = n takes the last value
        {c3, 7.0, 0.0, 3.0, 0.0},
        {{-5.5}, 0.5, 3.0, -5.5, 0.0},
        {{2, 8}, 0.5, 0.5, 5.0, 3.0},
        // infinities sort to the ends and make the range infinite; a zero
        // spread factor stays zero (of its own sign) even then
        {{1, -kInf, kInf}, 0.5, 0.0, 1.0, 0.0},
        {{1, -kInf, kInf}, 0.5, -0.0, 1.0, -0.0},
        {{1, -kInf, kInf}, 0.5, 0.5, 1.0, kInf},
        {{1, kInf, 3}, 0.0, 1.0, 1.0, kInf},
        {{2, 8}, 0.5, -0.0, 5.0, -0.0},
        // missing cells are left out: n counts the observed ones
        {{1, kNan, 2}, 0.5, 0.0, 1.5, 0.0},
        {{1, kNan, 2}, 1.0, 1.0, 2.0, 1.0},
        {{kNegNan, 1, 2, kNan, 5}, 0.0, 0.5, 1.0, 2.0},
        {{kNan, 4, kNegNan}, 0.5, 0.0, 4.0, 0.0},
        // rows but nothing observed: no centre, no spread
        {{kNan, kNegNan}, 0.5, 0.0, kNan, kNan},
    };
    for (const auto& tc : cases) {
        Gauss g = transform(tc.column, tc.mean, tc.variance);
        if (std::isnan(tc.want_mean))
            EXPECT_TRUE(std::isnan(g.mean));
        else
            EXPECT_BITEQ(g.mean, tc.want_mean);
        if (std::isnan(tc.want_scale))
            EXPECT_TRUE(std::isnan(g.scale));
        else
            EXPECT_BITEQ(g.scale, tc.want_scale);
    }
}

TEST(gauss, transform_total_order) {
    // -0 comes before +0.
    EXPECT_BITEQ(transform({0.0, -0.0, 0.0}, 0.0, 0.0).mean, -0.0);
    EXPECT_BITEQ(transform({-0.0, 0.0, -0.0}, 1.0, 0.0).mean, 0.0);
    EXPECT_BITEQ(transform({0.0, -0.0, 0.0}, 0.5, 0.0).mean, 0.0);
    EXPECT_BITEQ(transform({-1.0, -0.0, -2.0, 0.0, 3.0}, 0.5, 0.0).mean, -0.0);
}

TEST(gauss, transform_empty_column_panics) {
    for (double mean : {0.0, 0.5, 1.0, -1.0})
        EXPECT_THROW_MSG(transform({}, mean, 0.0), porosa::Panic, "index out of bounds");
}

TEST(gauss, sample_is_box_muller_cosine) {
    const Gauss dists[] = {{0.0, 1.0}, {10.0, 2.5}, {-3.0, 0.0}, {1.5, -0.75}};
    for (std::uint64_t seed : {1ull, 31ull, 4000000000ull}) {
        porosa::Rng a = porosa::rng_from_u64(seed), b = porosa::rng_from_u64(seed);
        for (int k = 0; k < 20; ++k) {
            for (const Gauss& g : dists) {
                std::uint64_t w[4];
                for (auto& x : w) x = b.next_u32();
                double u1 = double(((w[1] << 32) | w[0]) >> 11) * 0x1.0p-53;
                double u2 = double(((w[3] << 32) | w[2]) >> 11) * 0x1.0p-53;
                ASSERT_TRUE(u1 >= 1e-17);
                double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
                EXPECT_BITEQ(g.sample(a), z * g.scale + g.mean);
            }
        }
        EXPECT_EQ(a.next_u32(), b.next_u32());  // four words per sample
    }
}

TEST(gauss, get_distribution_matches_per_column_transform) {
    // Tall enough for several row chunks. Columns of several shapes: NaN of
    // both signs, few distinct values with both zeros and the infinities, one
    // binade (the centre's bucket is most of the column), a wide spread, and
    // nothing observed.
    const double few[] = {-kInf, kInf, -0.0, 0.0, 1.0, -1.0, 2.0};
    // Short columns are copied whole, tall ones go through histograms of their keys.
    for (const std::size_t rows : {41, 9000, 70000}) {
        const std::size_t cols = 23;
        porosa::DataMatrix m(rows, cols);
        porosa::Rng rng = porosa::rng_from_u64(11);
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < cols; ++c) {
                const double u = rng.uniform_float();
                m(r, c) = c % 5 == 1   ? few[rng.index_below(7)]
                          : c % 5 == 2 ? 1.0 + u
                          : c % 5 == 3 ? std::ldexp(u - 0.5, int(rng.index_below(200)) - 100)
                          : c == 4     ? kNan
                          : (r * 7 + c) % 13 == 0 ? (r % 2 ? kNan : kNegNan)
                                                  : u * 100.0 - 50.0;
            }
        for (double mean : {0.0, 0.5, 0.9, 1.0, 0.3, 0.25}) {
            auto dists = porosa::get_distribution(mean, 0.25, m);
            ASSERT_EQ(dists.size(), cols);
            for (std::size_t c = 0; c < cols; ++c) {
                std::vector<double> col;
                for (std::size_t r = 0; r < rows; ++r) col.push_back(m(r, c));
                Gauss want = transform(col, mean, 0.25);
                EXPECT_BITEQ(dists[c].mean, want.mean);
                EXPECT_BITEQ(dists[c].scale, want.scale);
            }
        }
    }
    EXPECT_TRUE(porosa::get_distribution(0.5, 0.0, porosa::DataMatrix(5, 0)).empty());
    EXPECT_THROW_MSG(porosa::get_distribution(0.5, 0.0, porosa::DataMatrix(0, 4)), porosa::Panic,
                     "index out of bounds");
}

TEST(gauss, get_samples_in_list_order) {
    const std::vector<Gauss> dists = {{0.0, 1.0}, {100.0, 0.5}, {-7.0, 3.0}};
    const std::vector<std::size_t> cols = {2, 0, 2, 1};
    porosa::Rng a = porosa::rng_from_u64(21), b = porosa::rng_from_u64(21);
    auto got = porosa::get_samples(cols, dists, a);
    ASSERT_EQ(got.size(), cols.size());
    for (std::size_t k = 0; k < cols.size(); ++k) EXPECT_BITEQ(got[k], dists[cols[k]].sample(b));
    EXPECT_TRUE(porosa::get_samples({}, dists, a).empty());

    const std::vector<std::size_t> bad = {0, 3};
    EXPECT_THROW_MSG(porosa::get_samples(bad, dists, a), porosa::Panic,
                     "index out of bounds: the len is 3 but the index is 3");
}

// The centre found by selection against the one read off a full sort, on
// columns tall enough for several selection rounds and built to be awkward:
// few distinct values, both zeros, infinities, one narrow binade, NaN gaps.
TEST(gauss, transform_centre_matches_a_sorted_column) {
    porosa::Rng rng = porosa::rng_from_u64(5);
    const double pool[] = {-kInf, kInf, -0.0, 0.0, 1.0, -1.0, 1e300, 5e-324};
    for (int trial = 0; trial < 120; ++trial) {
        const std::size_t n = 1 + rng.index_below(trial % 3 == 0 ? 20000 : 5000);
        const std::uint64_t style = rng.index_below(4);
        std::vector<double> column(n);
        for (double& x : column) {
            const double u = rng.uniform_float();
            x = style == 0 ? pool[rng.index_below(8)]
                : style == 1 ? 1.0 + u  // one binade: the keys share their top bits
                : style == 2 ? (rng.index_below(9) == 0 ? kNan : u * 2.0 - 1.0)
                             : std::ldexp(u - 0.5, int(rng.index_below(200)) - 100);
        }
        std::vector<double> sorted;
        for (double x : column)
            if (!std::isnan(x)) sorted.push_back(x);
        std::sort(sorted.begin(), sorted.end(), [](double a, double b) { return porosa::total_cmp(a, b) < 0; });
        if (sorted.empty()) continue;
        const std::size_t m = sorted.size();
        for (double mean : {0.5, 0.3, 0.0, 1.0, rng.uniform_float()}) {
            std::size_t i = porosa::saturating_count(std::floor(double(m) * mean));
            double want;
            if (m % 2 == 1) want = sorted[std::min(i, m - 1)];
            else if (i == 0) want = sorted[0];
            else if (i >= m) want = (sorted[m - 1] + sorted[m - 1]) * 0.5;
            else want = (sorted[i - 1] + sorted[i]) * 0.5;
            EXPECT_BITEQ(transform(column, mean, 0.0).mean, want);
        }
    }
}
