// The ordered passes against the scanning passes: same cells to the bit, same
// draws, same failures, on data built to be awkward.
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "generators/mar/removal.hpp"
#include "harness.hpp"

using namespace porosa;
using namespace porosa::mar;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double from_bits(std::uint64_t u) { return std::bit_cast<double>(u); }

enum class Style { Ties, Specials, Continuous, Mixed };

double cell(Rng& rng, Style style) {
    static const double tiny_set[] = {-1.0, -0.0, 0.0, 1.0, 2.0};
    static const double specials[] = {kInf, -kInf, 1e300, -1e300, 5e-324, -5e-324, 1e-20, 3.0,
                                      from_bits(0x7FF8000000000000ull), from_bits(0xFFF8000000000000ull),
                                      from_bits(0x7FF8000000000123ull), from_bits(0xFFF0000000000001ull)};
    switch (style) {
        case Style::Ties: return tiny_set[rng.index_below(5)];
        case Style::Continuous: return rng.uniform_float() * 6.0 - 3.0;
        case Style::Specials:
            return rng.index_below(3) == 0 ? specials[rng.index_below(std::size(specials))]
                                           : tiny_set[rng.index_below(5)];
        default: return rng.index_below(2) ? tiny_set[rng.index_below(5)] : rng.uniform_float();
    }
}

DataMatrix awkward_matrix(Rng& rng, std::size_t rows, std::size_t cols) {
    DataMatrix m(rows, cols);
    const Style style = Style(rng.index_below(4));
    for (std::size_t c = 0; c < cols; ++c) {
        const std::size_t shape = rng.index_below(10);
        for (std::size_t r = 0; r < rows; ++r) {
            double v = cell(rng, style);
            if (shape == 0) v = 7.0;                                   // constant: NaN correlations
            if (shape == 1) v = from_bits(0x7FF8000000000000ull);      // all missing
            if (shape == 2 && c > 0) v = 2.0 * m(r, 0) + 1.0;         // strongly tied to column 0
            if (shape == 3 && rng.index_below(5) == 0)                  // NaN keys, and NaN GM spreads
                v = std::array{kNaN, -kNaN, from_bits(0x7FF8000000000123ull)}[rng.index_below(3)];
            m(r, c) = v;
        }
    }
    return m;
}

Mode random_mode(Rng& rng) {
    Mode m;
    m.kind = std::array{Kind::GM, Kind::MAX, Kind::MIN}[rng.index_below(3)];
    static const double means[] = {0.0, 0.5, 1.0, 0.3, 0.999, 2.0};
    static const double variances[] = {0.0, 0.0, 0.1, 1.0, 1e300, 1e-12, 0.5};
    m.mean = means[rng.index_below(std::size(means))];
    m.variance = variances[rng.index_below(std::size(variances))];
    return m;
}

bool same_bits(const DataMatrix& a, const DataMatrix& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// One call both ways from the same generator state; the generators carry on.
// Returns the failure message, empty when the call succeeded.
std::string compare_call(const Mode& mode, double cap, Rng& scan, Rng& fast, const DataMatrix& before, double rate,
                         std::size_t target, Pool& pool, DataMatrix* result = nullptr) {
    DataMatrix a = before, b = before;
    auto failure = [](const porosa::Outcome<void>& r) { return r ? std::string() : r.error().message; };
    const std::string error_a = failure(run_removal(mode, cap, scan, a, rate, target, pool));
    const std::string error_b = failure(run_removal_fast(mode, cap, fast, b, rate, target, pool));
    // One mismatch is enough to report; the cases after it would only repeat it.
    // A failed call's matrix is dropped, whatever it holds.
    ASSERT_EQ(error_b, error_a);
    if (error_a.empty()) ASSERT_TRUE(same_bits(a, b));
    if (result) *result = std::move(a);
    return error_a;
}

struct Totals {
    std::size_t calls = 0, failures = 0, removed = 0;
};

// One instance: several calls with the generator carrying on, each compared
// between the two ways of running the passes.
void compare_instance(std::uint64_t seed, std::size_t max_rows, std::size_t max_cols, Pool& pool, Totals& totals) {
    Rng maker = rng_from_u64(seed);
    const Mode mode = random_mode(maker);
    static const double caps[] = {0.8, 1.0, 1.5, kInf, 0.5, 0.3, kNaN};
    const double cap = caps[maker.index_below(std::size(caps))];
    Rng scan = rng_from_u64(seed ^ 0x5eed), fast = scan;
    const std::size_t calls = 1 + maker.index_below(3);
    for (std::size_t call = 0; call < calls; ++call) {
        const std::size_t rows = 1 + maker.index_below(max_rows), cols = 1 + maker.index_below(max_cols);
        const DataMatrix before = awkward_matrix(maker, rows, cols);
        static const double rates[] = {0.0, 0.1, 0.3, 0.5, 0.9, 1.0, 2.0};
        double rate = maker.index_below(2) ? maker.uniform_float() : rates[maker.index_below(std::size(rates))];
        const double limit = rate_limit(cap, cols);
        if (rate > limit) rate = limit;
        std::size_t target = target_count(rows, cols, rate);
        // Now and then a target beyond reach, so that the passes run dry.
        if (maker.index_below(6) == 0) target += rows * cols;

        DataMatrix after;
        const std::string error = compare_call(mode, cap, scan, fast, before, rate, target, pool, &after);
        ++totals.calls;
        totals.failures += !error.empty();
        for (std::size_t i = 0; i < after.size(); ++i)
            totals.removed += std::isnan(after.data()[i]) != std::isnan(before.data()[i]);
    }
    EXPECT_EQ(fast.next_u64(), scan.next_u64());
}

}  // namespace

TEST(mar_fast, same_cells_draws_and_failures_as_scanning_on_small_awkward_data) {
    Pool one(1), three(3);
    Totals totals;
    for (std::uint64_t seed = 1; seed <= 6000; ++seed) compare_instance(seed, 40, 8, seed % 2 ? one : three, totals);
    // The cases must actually exercise removals and the NaN-reference failure.
    EXPECT_LT(std::size_t(10000), totals.calls);
    EXPECT_LT(std::size_t(100), totals.failures);
    EXPECT_LT(std::size_t(150000), totals.removed);
}

TEST(mar_fast, same_cells_on_taller_data) {
    Pool pool(2);
    Totals totals;
    for (std::uint64_t seed = 10001; seed <= 10100; ++seed) compare_instance(seed, 700, 6, pool, totals);
    EXPECT_LT(std::size_t(30000), totals.removed);
}

// Every column missing and none observed: column 0 predicts all of them while
// its own pair removes its cells, so the other pairs' keys change as they go.
TEST(mar_fast, column_zero_predicting_while_losing_cells) {
    Pool pool(2);
    for (Kind kind : {Kind::GM, Kind::MAX, Kind::MIN}) {
        for (std::uint64_t seed = 1; seed <= 40; ++seed) {
            Rng maker = rng_from_u64(seed * 7 + std::uint64_t(kind));
            const std::size_t rows = 5 + maker.index_below(60), cols = 3 + maker.index_below(2);
            DataMatrix before(rows, cols);
            for (double& x : before.storage()) x = double(maker.index_below(4));
            if (seed % 3 == 0) before(maker.index_below(rows), maker.index_below(cols)) = missing_nan();
            Mode mode;
            mode.kind = kind;
            mode.mean = 0.5;
            mode.variance = seed % 2 ? 0.0 : 0.4;
            const double rate = rate_limit(0.8, cols);
            ASSERT_EQ(missing_column_count(cols, rate, 0.8), cols);
            Rng ra = rng_from_u64(seed), rb = ra;
            compare_call(mode, 0.8, ra, rb, before, rate, target_count(rows, cols, rate), pool);
            EXPECT_EQ(ra.next_u64(), rb.next_u64());
        }
    }
}

// An infinity in a missing column makes its GM spread infinite, so every
// reference of that pair is an infinity: every finite key is then at the same
// distance and only the row decides.
TEST(mar_fast, infinite_references) {
    Pool pool(2);
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        Rng maker = rng_from_u64(seed + 500);
        const std::size_t rows = 2 + maker.index_below(seed % 4 == 0 ? 400 : 30), cols = 2 + maker.index_below(4);
        DataMatrix before(rows, cols);
        for (double& x : before.storage()) {
            const std::size_t pick = maker.index_below(12);
            x = pick == 0 ? kInf : pick == 1 ? -kInf : pick == 2 ? 1e300 : double(pick % 4) - 1.0;
        }
        Mode mode;
        mode.kind = Kind::GM;
        mode.mean = seed % 3 == 0 ? 1.0 : 0.5;
        mode.variance = seed % 2 ? 0.5 : 1e300;
        const double rate = 0.2 + 0.1 * double(seed % 6);
        const std::size_t target = target_count(rows, cols, rate);
        Rng ra = rng_from_u64(seed), rb = ra;
        compare_call(mode, 1.0, ra, rb, before, rate, target, pool);
        EXPECT_EQ(ra.next_u64(), rb.next_u64());
    }
}
