// Exact selection against a plain sort, on the columns that make it work hard:
// two or three repeated values, tall enough for the histograms, with the ranks
// asked for on both sides of the edge between two values' buckets.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/float_bits.hpp"
#include "generators/common/generator.hpp"
#include "generators/common/rng.hpp"
#include "generators/utils/distribution.hpp"
#include "generators/utils/rank_select.hpp"
#include "harness.hpp"

namespace {

// counts[k] copies of values[k], shuffled.
std::vector<double> runs(const std::vector<double>& values, const std::vector<std::size_t>& counts,
                         std::uint64_t seed) {
    std::vector<double> out;
    for (std::size_t k = 0; k < values.size(); ++k) out.insert(out.end(), counts[k], values[k]);
    porosa::Rng rng = porosa::rng_from_u64(seed);
    for (std::size_t i = out.size(); i > 1; --i) std::swap(out[i - 1], out[rng.index_below(i)]);
    return out;
}

std::vector<double> sorted(std::vector<double> column) {
    std::sort(column.begin(), column.end(), [](double a, double b) { return porosa::total_cmp(a, b) < 0; });
    return column;
}

// The centre as the quantile rule words it, read off the sorted column
// (positions inside the column only).
double centre_of_sorted(const std::vector<double>& s, double mean) {
    const std::size_t n = s.size(), i = std::size_t(std::floor(double(n) * mean));
    if (n % 2 == 1 || i == 0) return s[i];
    const std::size_t j = i < n ? i : i - 1;
    return (s[i - 1] + s[j]) * 0.5;
}

// Value sets whose buckets touch, lie apart, or differ only in the low bits,
// of either sign, both zeros included.
const std::vector<std::vector<double>> kValueSets = {
    {1.0, 4.0}, {1.0, 2.0}, {1.0, std::nextafter(1.0, 2.0)}, {-1.0, 1.0}, {1.0, 4.0, 16.0}, {-0.0, 0.0, 5.0},
};
// Above the size where the histograms start, even and odd.
const std::vector<std::vector<std::size_t>> kCounts = {
    {2000, 2000, 0}, {2000, 2001, 0}, {1025, 1024, 0}, {3000, 1, 3000}, {1, 4000, 1}, {2500, 2500, 2500},
};

// The ranks around each edge between two runs, and the ends.
std::vector<std::size_t> ranks_around_edges(const std::vector<std::size_t>& counts, std::size_t n) {
    std::vector<std::size_t> out{0, n - 1};
    for (std::size_t edge = 0, k = 0; k + 1 < counts.size(); ++k) {
        edge += counts[k];
        for (std::size_t i : {edge - 1, edge, edge + 1})
            if (i < n) out.push_back(i);
    }
    return out;
}

// f(counts, column, the column sorted) for every value set and counts.
template <class F>
void for_each_column(std::uint64_t seed, F&& f) {
    for (const auto& values : kValueSets) {
        for (auto counts : kCounts) {
            counts.resize(values.size());
            const std::vector<double> column = runs(values, counts, ++seed);
            f(counts, column, sorted(column));
        }
    }
}

}  // namespace

TEST(rank_select, ranks_match_a_sort) {
    for_each_column(0, [](const auto& counts, const auto& column, const auto& want) {
        for (std::size_t i : ranks_around_edges(counts, column.size())) {
            for (bool want_below : {false, true}) {
                if (want_below && i == 0) continue;
                std::vector<std::uint64_t> keys;
                for (double x : column) keys.push_back(porosa::order_key(x));
                const auto [lo, hi] = std::minmax_element(keys.begin(), keys.end());
                const porosa::Ranked got = porosa::select_ranks(keys, *lo, *hi, i, want_below);
                EXPECT_BITEQ(porosa::from_order_key(got.at), want[i]);
                if (want_below) EXPECT_BITEQ(porosa::from_order_key(got.below), want[i - 1]);
            }
        }
    });
}

// Quantile positions that put the centre on each edge (rank i opening a run,
// so that for an even count the pair straddles it) and at the median.
TEST(rank_select, centre_of_a_column_matches_a_sort) {
    for_each_column(100, [](const auto& counts, const auto& column, const auto& want) {
        const double n = double(column.size());
        std::vector<double> means{0.5};
        for (std::size_t edge = 0, k = 0; k + 1 < counts.size(); ++k)
            edge += counts[k], means.insert(means.end(), {(double(edge) + 0.5) / n, (double(edge) - 0.5) / n});
        for (double mean : means) {
            if (mean < 0.0 || mean >= 1.0) continue;  // an edge at an end
            const porosa::Gauss g = porosa::transform(column, mean, 1.0);
            EXPECT_BITEQ(g.mean, centre_of_sorted(want, mean));
            EXPECT_BITEQ(g.scale, want.back() - want.front());
        }
    });
}

// Tall enough (65,536 rows and more) for the distribution list's own
// histograms of the keys' top bits, even and odd row counts.
TEST(rank_select, distribution_list_matches_a_sort) {
    const std::vector<std::vector<double>> values = {{1.0, 4.0, 16.0}, {1.0, 4.0}, {-2.0, 0.0, 3.0}, {1.0, 1.5}};
    for (std::size_t extra : {0, 1}) {
        const std::vector<std::vector<std::size_t>> counts = {
            {35000, 10000, 25000 + extra}, {35000, 35000 + extra}, {34000, 2000, 34000 + extra}, {35000 + extra, 35000}};
        const std::size_t rows = 70000 + extra, cols = values.size();
        porosa::DataMatrix m(rows, cols);
        std::vector<std::vector<double>> want(cols);
        for (std::size_t c = 0; c < cols; ++c) {
            const std::vector<double> column = runs(values[c], counts[c], 7 + c);
            for (std::size_t r = 0; r < rows; ++r) m(r, c) = column[r];
            want[c] = sorted(column);
        }
        for (double mean : {0.5, 0.25, 0.75, 35000.5 / double(rows), 36000.5 / double(rows), 0.0}) {
            const std::vector<porosa::Gauss> got = porosa::get_distribution(mean, 0.5, m);
            for (std::size_t c = 0; c < cols; ++c) {
                EXPECT_BITEQ(got[c].mean, centre_of_sorted(want[c], mean));
                EXPECT_BITEQ(got[c].scale, 0.5 * (want[c].back() - want[c].front()));
            }
        }
    }
}
