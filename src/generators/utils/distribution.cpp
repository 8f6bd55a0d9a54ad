// The distribution list of mode GM: one Gauss per column of the matrix.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "core/float_bits.hpp"
#include "core/pool.hpp"
#include "core/row_sweep.hpp"
#include "generators/utils/centre.hpp"
#include "generators/utils/distribution.hpp"
#include "generators/utils/rank_select.hpp"

namespace porosa {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The keys of numbers lie between those of the two infinities, NaN keys outside.
bool observed_key(std::uint64_t k) noexcept {
    return k - order_key(-kInfinity) <= order_key(kInfinity) - order_key(-kInfinity);
}

// The listed columns' distributions from full copies of their keys, a round of
// columns at a time, a few per thread: each row chunk is read once for the
// whole round, and the round's buffer is reused.
void distributions_by_copy(double mean, double variance, const DataMatrix& data, std::span<const std::size_t> which,
                           std::vector<Gauss>& out) {
    const std::size_t rows = data.rows(), cols = data.cols();
    Pool& pool = Pool::global();
    const std::size_t round = std::min(which.size(), 4 * pool.threads());
    const RowChunks chunks =
        RowChunks::exactly(rows, std::max<std::size_t>(1, std::min(rows / 4096, 4 * pool.threads())));
    std::unique_ptr<std::uint64_t[]> buffer(new std::uint64_t[round * rows]);
    for (std::size_t first = 0; first < which.size(); first += round) {
        const std::span<const std::size_t> group = which.subspan(first, std::min(round, which.size() - first));
        sweep_rows(pool, chunks, group.size(), [&](std::size_t, std::size_t r0, std::size_t r1) {
            for (std::size_t r = r0; r < r1; ++r) {
                const double* row = data.data() + r * cols;
                for (std::size_t k = 0; k < group.size(); ++k) buffer[k * rows + r] = order_key(row[group[k]]);
            }
        });
        pool.run_chunks(group.size(), 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t k = b; k < e; ++k) {
                std::uint64_t* keys = buffer.get() + k * rows;
                std::size_t observed = 0;
                for (std::size_t r = 0; r < rows; ++r) {
                    keys[observed] = keys[r];
                    observed += observed_key(keys[r]);
                }
                out[group[k]] = transform_keys({keys, observed}, rows, mean, variance);
            }
        });
    }
}

// One sweep's findings per column: the count of observed keys, their ends, and
// a histogram of their top bits (sign and exponent).
constexpr unsigned kTopShift = 52;
constexpr std::size_t kTopBuckets = std::size_t{1} << (64 - kTopShift);
struct TopScan {
    std::size_t observed = 0;
    std::uint64_t min = ~std::uint64_t{0}, max = 0;
    std::vector<std::uint32_t> hist = std::vector<std::uint32_t>(kTopBuckets, 0);
};

// Where a column's centre ranks fall, and rank i within its bucket.
struct Target {
    std::size_t col;
    RankBucket at;
    std::size_t rank = 0, size = 0;
};

}  // namespace

Gauss transform(std::vector<double> column, double mean, double variance) {
    std::vector<std::uint64_t> keys;
    keys.reserve(column.size());
    for (double x : column)
        if (!std::isnan(x)) keys.push_back(order_key(x));
    return transform_keys(keys, column.size(), mean, variance);
}

// A sweep counts each column's keys by sign and exponent; a second sweep then
// keeps only the keys of the bucket holding the centre, which on real data is
// a small part of the column, and selects among them. Columns whose bucket is
// a large part of the column are copied whole instead.
std::vector<Gauss> get_distribution(double mean, double variance, const DataMatrix& data) {
    const std::size_t rows = data.rows(), cols = data.cols();
    Pool& pool = Pool::global();
    std::vector<Gauss> out(cols);
    std::vector<std::size_t> copied;
    // A column's histograms take (chunks + 1) x 16 KB: with a chunk per 16,384
    // rows at most and columns of 65,536 rows at least, under a sixth of the
    // column. Shorter columns (wide data) are copied a round at a time instead,
    // which costs next to nothing there.
    const RowChunks chunks =
        RowChunks::exactly(rows, std::max<std::size_t>(1, std::min(rows / 16384, 4 * pool.threads())));
    if (rows < 65536 || rows >= (std::size_t{1} << 32)) {
        for (std::size_t c = 0; c < cols; ++c) copied.push_back(c);
        distributions_by_copy(mean, variance, data, copied, out);
        return out;
    }
    std::vector<std::vector<TopScan>> scans(chunks.count, std::vector<TopScan>(cols));
    for_chunks(pool, chunks, [&](std::size_t ch, std::size_t begin, std::size_t end) {
        std::vector<TopScan>& mine = scans[ch];
        for_row_blocks(begin, end, cols, [&](std::size_t r0, std::size_t r1) {
            for (std::size_t r = r0; r < r1; ++r) {
                const double* row = data.data() + r * cols;
                for (std::size_t c = 0; c < cols; ++c) {
                    const std::uint64_t k = order_key(row[c]);
                    if (!observed_key(k)) continue;
                    TopScan& s = mine[c];
                    ++s.observed, ++s.hist[k >> kTopShift];
                    s.min = std::min(s.min, k), s.max = std::max(s.max, k);
                }
            }
        });
    });
    std::vector<Target> targets;
    // The first chunk's scans become the columns' totals.
    std::vector<TopScan> total = std::move(scans[0]);
    for (std::size_t c = 0; c < cols; ++c) {
        TopScan& t = total[c];
        for (std::size_t ch = 1; ch < chunks.count; ++ch) {
            const TopScan& s = scans[ch][c];
            t.observed += s.observed, t.min = std::min(t.min, s.min), t.max = std::max(t.max, s.max);
            for (std::size_t d = 0; d < kTopBuckets; ++d) t.hist[d] += s.hist[d];
        }
        if (t.observed == 0) {
            out[c] = no_values();
            continue;
        }
        const CentreRanks q = centre_ranks(t.observed, mean);
        if (!q.select) {
            out[c] = gauss_of(q, Ranked{0, 0}, t.min, t.max, variance);
            continue;
        }
        Target g{c, find_rank<std::uint32_t>(t.hist, q.i, q.pair)};
        g.rank = q.i - g.at.under;
        g.size = g.at.split ? 0 : t.hist[g.at.bucket];
        // A bucket this large costs as much kept as the column copied.
        if (g.size > rows / 4) copied.push_back(c);
        else targets.push_back(g);
    }
    scans = {};
    if (!targets.empty()) {
        // Per chunk and target: the keys of its bucket, or the two ends it needs.
        std::vector<std::vector<std::vector<std::uint64_t>>> kept(
            chunks.count, std::vector<std::vector<std::uint64_t>>(targets.size()));
        std::vector<std::vector<Ranked>> ends(chunks.count, std::vector<Ranked>(targets.size(), kNoEnds));
        sweep_rows(pool, chunks, targets.size(), [&](std::size_t ch, std::size_t r0, std::size_t r1) {
            for (std::size_t r = r0; r < r1; ++r) {
                const double* row = data.data() + r * cols;
                for (std::size_t j = 0; j < targets.size(); ++j) {
                    const Target& g = targets[j];
                    const std::uint64_t k = order_key(row[g.col]);
                    if (!observed_key(k)) continue;
                    const std::size_t d = k >> kTopShift;
                    if (d == g.at.bucket && !g.at.split) kept[ch][j].push_back(k);
                    else take_split_end(ends[ch][j], g.at, d, k);
                }
            }
        });
        pool.run_chunks(targets.size(), 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t j = b; j < e; ++j) {
                const Target& g = targets[j];
                const TopScan& t = total[g.col];
                const CentreRanks q = centre_ranks(t.observed, mean);
                Ranked r = kNoEnds;
                std::vector<std::uint64_t> keys;
                keys.reserve(g.size);
                for (std::size_t ch = 0; ch < chunks.count; ++ch) {
                    merge_split_ends(r, ends[ch][j]);
                    keys.insert(keys.end(), kept[ch][j].begin(), kept[ch][j].end());
                }
                if (!g.at.split) {
                    const auto [lo, hi] = std::minmax_element(keys.begin(), keys.end());
                    const std::uint64_t min = *lo, max = *hi;
                    r = select_ranks(keys, min, max, g.rank, q.pair);
                }
                out[g.col] = gauss_of(q, r, t.min, t.max, variance);
            }
        });
    }
    distributions_by_copy(mean, variance, data, copied, out);
    return out;
}

}  // namespace porosa
