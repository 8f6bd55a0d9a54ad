// The fast value passes against the literal ones: same cells to the bit, same
// draws, same failures, on data built to be awkward, with the search knobs
// shrunk so that small matrices take every path large ones do.
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/common/generator.hpp"
#include "generators/mnar/removal.hpp"
#include "generators/utils/distribution.hpp"
#include "harness.hpp"

using namespace porosa;
namespace mnar = porosa::mnar;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double from_bits(std::uint64_t u) { return std::bit_cast<double>(u); }

const double kTies[] = {-1.0, -0.0, 0.0, 1.0, 2.0};
const double kSpecials[] = {kInf, -kInf, 1e300, -1e300, 5e-324, -5e-324, 1e-20, 3.0,
                            from_bits(0x7FF8000000000000ull), from_bits(0xFFF8000000000000ull),
                            from_bits(0x7FF8000000000123ull), from_bits(0xFFF0000000000001ull)};

enum class Style { Ties, Specials, Continuous, Mixed };

double cell(Rng& rng, Style style) {
    switch (style) {
        case Style::Ties: return kTies[rng.index_below(5)];
        case Style::Continuous: return rng.uniform_float() * 6.0 - 3.0;
        case Style::Specials:
            return rng.index_below(3) == 0 ? kSpecials[rng.index_below(std::size(kSpecials))]
                                           : kTies[rng.index_below(5)];
        default: return rng.index_below(2) ? kTies[rng.index_below(5)] : rng.uniform_float();
    }
}

DataMatrix awkward_matrix(Rng& rng, std::size_t rows, std::size_t cols) {
    DataMatrix m(rows, cols);
    const Style style = Style(rng.index_below(4));
    // Most cases keep NaN out, or nearly every GM call would fail on its first pass.
    const bool with_nan = rng.index_below(3) == 0;
    for (std::size_t c = 0; c < cols; ++c) {
        const std::size_t shape = rng.index_below(10);
        for (std::size_t r = 0; r < rows; ++r) {
            double v = cell(rng, style);
            if (!with_nan && std::isnan(v)) v = 1.5;
            if (shape == 0) v = 7.0;                               // constant: zero spread
            if (shape == 1 && with_nan) v = missing_nan();         // nothing to take
            if (shape == 2 && with_nan && rng.index_below(4) == 0)  // NaN of either sign in the input
                v = std::array{kNaN, -kNaN, from_bits(0x7FF8000000000123ull)}[rng.index_below(3)];
            m(r, c) = v;
        }
    }
    return m;
}

struct Setting {
    Order order;
    bool draws;  // a distribution list is passed
    double mean, variance;
    bool odd_dists;  // distributions made up rather than computed
};

Setting random_setting(Rng& rng) {
    static const Order orders[] = {Order::nearest, Order::nearest, Order::ascending, Order::descending};
    static const double means[] = {0.0, 0.5, 1.0, 0.3, 0.999, 2.0, -1.0};
    static const double variances[] = {0.0, 0.0, 0.1, 1.0, 1e300, 1e-12, -0.5, -0.0};
    Setting s;
    s.order = orders[rng.index_below(std::size(orders))];
    // The literal passes draw whenever they are given distributions, whatever
    // the ordering; without them GM's reference is 0.
    s.draws = s.order == Order::nearest ? rng.index_below(8) != 0 : rng.index_below(8) == 0;
    s.mean = means[rng.index_below(std::size(means))];
    s.variance = variances[rng.index_below(std::size(variances))];
    s.odd_dists = rng.index_below(6) == 0;
    return s;
}

// Centres at, and spreads of, the awkward values: infinite and NaN centres,
// signed zeros, infinite spreads.
std::vector<Gauss> odd_dists(Rng& rng, std::size_t cols) {
    static const double centres[] = {0.0, -0.0, 1.0, kInf, -kInf, 1e300, 0.5, -1.0, kNaN};
    static const double scales[] = {0.0, 0.0, -0.0, 1.0, kInf, 1e-300, 0.25};
    std::vector<Gauss> out(cols);
    for (Gauss& g : out) {
        g.mean = centres[rng.index_below(rng.index_below(4) == 0 ? std::size(centres) : std::size(centres) - 1)];
        g.scale = scales[rng.index_below(std::size(scales))];
    }
    return out;
}

mnar::ValuePassTuning random_tuning(Rng& rng) {
    mnar::ValuePassTuning t;
    if (rng.index_below(4) == 0) return t;  // the defaults: small data is gathered at once
    t.collect_limit = rng.index_below(4);
    t.digit_bits = 1 + unsigned(rng.index_below(12));
    t.chunk_rows = 1 + rng.index_below(8);
    t.group_cols = 1 + rng.index_below(4);
    // Small samples and narrow brackets often miss the cell, which must fall
    // back to the histogram sweeps.
    static const double sigmas[] = {0.0, 0.5, 1.0, 4.0};
    t.bracket_rows = rng.index_below(3) == 0 ? 0 : 16 + rng.index_below(140);
    t.bracket_sigmas = sigmas[rng.index_below(std::size(sigmas))];
    return t;
}

bool same_bits(const DataMatrix& a, const DataMatrix& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

struct Totals {
    std::size_t calls = 0, failures = 0, removed = 0, sampled_passes = 0;
};

// One call both ways from the same generator state; the generators carry on.
void compare_call(const DataMatrix& before, std::span<const std::size_t> prot, Rng& literal_rng, Rng& fast_rng,
                  Order order, const std::vector<Gauss>* dists, std::size_t target,
                  const mnar::ValuePassTuning& tuning, Pool& pool, Totals& totals) {
    DataMatrix a = before, b = before;
    auto failure = [](const porosa::Outcome<void>& r) { return r ? std::string() : r.error().message; };
    const std::string error_a =
        failure(mnar::drop_values_literal(pool, a, prot, literal_rng, cmp_of(order), dists, target));
    const std::string error_b = failure(mnar::drop_values_fast(pool, b, prot, fast_rng, order, dists, target, tuning));
    // One mismatch is enough to report; the cases after it would only repeat it.
    // A failed call's matrix is dropped, whatever it holds.
    ASSERT_EQ(error_b, error_a);
    if (error_a.empty()) ASSERT_TRUE(same_bits(a, b));
    ++totals.calls;
    totals.failures += !error_a.empty();
    for (std::size_t i = 0; i < a.size(); ++i) totals.removed += std::isnan(a.data()[i]) != std::isnan(before.data()[i]);
    totals.sampled_passes += target < before.cols();
}

// One call both ways on GM-protected cells drawn from a generator seeded with
// `seed`; both generators must end in the same state.
void compare_fresh_call(const DataMatrix& before, std::uint64_t seed, Order order, const std::vector<Gauss>& dists,
                        std::size_t target, const mnar::ValuePassTuning& tuning, Pool& pool) {
    Mode mode;
    mode.kind = Kind::GM;
    const std::array<std::size_t, 2> shape{before.rows(), before.cols()};
    Rng a = rng_from_u64(seed), b = a;
    const std::vector<std::size_t> prot = fix(shape, a, mode);
    fix(shape, b, mode);
    Totals totals;
    compare_call(before, prot, a, b, order, order == Order::nearest ? &dists : nullptr, target, tuning, pool, totals);
    EXPECT_EQ(a.next_u64(), b.next_u64());
}

// One instance: several calls with the generator carrying on.
void compare_instance(std::uint64_t seed, std::size_t max_rows, std::size_t max_cols, Pool& pool, Totals& totals) {
    Rng maker = rng_from_u64(seed);
    const Setting setting = random_setting(maker);
    Rng literal_rng = rng_from_u64(seed ^ 0x5eed), fast_rng = literal_rng;
    const std::size_t calls = 1 + maker.index_below(3);
    for (std::size_t call = 0; call < calls; ++call) {
        const std::size_t rows = 1 + maker.index_below(max_rows), cols = 1 + maker.index_below(max_cols);
        const DataMatrix before = awkward_matrix(maker, rows, cols);
        std::vector<Gauss> dists = setting.odd_dists ? odd_dists(maker, cols)
                                                     : get_distribution(setting.mean, setting.variance, before);
        Mode mode;
        mode.kind = Kind::GM;
        const std::array<std::size_t, 2> shape{rows, cols};
        const std::vector<std::size_t> prot = fix(shape, maker, mode);

        static const double rates[] = {0.0, 0.05, 0.1, 0.3, 0.5, 0.9, 1.0};
        std::size_t target = target_count(rows, cols, rates[maker.index_below(std::size(rates))]);
        switch (maker.index_below(8)) {
            case 0: target = maker.index_below(cols + 1); break;        // fewer than the columns
            case 1: target += rows * cols; break;                        // beyond reach
            case 2: target = std::numeric_limits<std::size_t>::max(); break;
            default: break;
        }
        compare_call(before, prot, literal_rng, fast_rng, setting.order, setting.draws ? &dists : nullptr, target,
                     random_tuning(maker), pool, totals);
    }
    EXPECT_EQ(fast_rng.next_u64(), literal_rng.next_u64());
}

}  // namespace

TEST(mnar_fast, same_cells_draws_and_failures_as_literal_on_small_awkward_data) {
    Pool one(1), three(3);
    Totals totals;
    for (std::uint64_t seed = 1; seed <= 5000; ++seed) compare_instance(seed, 40, 8, seed % 2 ? one : three, totals);
    // The cases must actually remove cells, fail on NaN references and run
    // sampled passes.
    EXPECT_LT(std::size_t(9000), totals.calls);
    EXPECT_LT(std::size_t(200), totals.failures);
    EXPECT_LT(std::size_t(100000), totals.removed);
    EXPECT_LT(std::size_t(1000), totals.sampled_passes);
}

TEST(mnar_fast, same_cells_on_taller_data) {
    Pool pool(2);
    Totals totals;
    for (std::uint64_t seed = 20001; seed <= 20060; ++seed) compare_instance(seed, 600, 6, pool, totals);
    EXPECT_LT(std::size_t(20000), totals.removed);
}

// Thousands of rows with full-width digits, so that the first histogram sweeps
// split sign and exponent as they do on large data; a few distinct values make
// long runs of ties.
TEST(mnar_fast, full_width_digits_on_thousands_of_rows) {
    Pool pool(2);
    for (Order order : {Order::ascending, Order::descending, Order::nearest}) {
        for (std::uint64_t seed = 1; seed <= 4; ++seed) {
            Rng maker = rng_from_u64(seed * 31 + 7);
            const std::size_t rows = 1500 + maker.index_below(1000), cols = 3;
            DataMatrix before(rows, cols);
            for (std::size_t r = 0; r < rows; ++r) {
                before(r, 0) = maker.uniform_float() * 4.0 - 2.0;
                before(r, 1) = double(maker.index_below(3)) - 1.0;
                before(r, 2) = seed % 2 ? kTies[maker.index_below(5)] : double(maker.index_below(100000));
            }
            // Variance 0 makes every GM reference the column's centre.
            const std::vector<Gauss> dists = get_distribution(0.4, seed <= 2 ? 0.0 : 0.2, before);
            mnar::ValuePassTuning tuning;
            tuning.collect_limit = 64;
            tuning.chunk_rows = 256;
            tuning.bracket_rows = seed % 2 ? 0 : 200;
            tuning.bracket_sigmas = seed == 2 ? 0.0 : 4.0;
            compare_fresh_call(before, seed, order, dists, target_count(rows, cols, 0.35), tuning, pool);
        }
    }
}

// The sampled bracket before the histogram sweeps: narrow brackets from small
// samples miss the cell often, and every miss must fall back to the sweeps.
TEST(mnar_fast, bracketed_search_holds_or_falls_back) {
    Pool pool(2);
    static const double sigmas[] = {0.0, 0.5, 1.0, 2.0, 4.0};
    for (Order order : {Order::ascending, Order::descending, Order::nearest}) {
        for (std::uint64_t seed = 1; seed <= 30; ++seed) {
            Rng maker = rng_from_u64(seed * 977 + 3);
            const std::size_t rows = 1000 + maker.index_below(3000), cols = 1 + maker.index_below(4);
            // Half the cases hold distinct values, where narrow brackets miss.
            DataMatrix before = awkward_matrix(maker, rows, cols);
            if (seed % 2)
                for (std::size_t i = 0; i < before.size(); ++i) before.data()[i] = maker.uniform_float();
            const std::vector<Gauss> dists = get_distribution(0.1 * double(maker.index_below(11)), 0.0, before);
            mnar::ValuePassTuning tuning;
            tuning.collect_limit = 16;
            tuning.chunk_rows = 128;
            tuning.bracket_rows = 64 + maker.index_below(400);
            tuning.bracket_sigmas = sigmas[maker.index_below(std::size(sigmas))];
            static const double rates[] = {0.02, 0.3, 0.5, 0.9};
            compare_fresh_call(before, seed, order, dists,
                               target_count(rows, cols, rates[maker.index_below(std::size(rates))]), tuning, pool);
        }
    }
}
