// The value-mode passes without a scan per pass.
//
// Why the schedule can be settled up front: a column's candidates are its
// non-NaN, unprotected cells, and only the column's own removals change them.
// A picked column with a candidate left yields exactly one cell, so which
// columns each pass picks, how many cells it yields, and hence every draw of
// the call (reservoir indices, GM references) follow from the per-column counts
// alone. The calling thread therefore makes all the draws first, in the order
// the literal passes make them, and only then are the cells chosen.
//
// Keys never change either, so the cells a column loses are:
//   MAX, MIN, and GM with a reference that is the same in every pass: the first
//     `takes` candidates of one fixed order. On tall columns a sample of rows
//     brackets the last of them, and one sweep usually finds it inside the
//     bracket; otherwise they are selected by a radix search over row sweeps of
//     the matrix, which needs neither a copy of the column nor a sort.
//   GM with references that vary: one nearest() + erase() per pass, in pass
//     order, on the column's candidates kept in total order.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/float_bits.hpp"
#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "generators/common/key_sort.hpp"
#include "generators/common/ordered_candidates.hpp"
#include "generators/mnar/mnar_detail.hpp"

namespace porosa::mnar_detail {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

enum class Order { ascending, descending, nearest };

// The key under which a column's cells leave in ascending (key, row) order.
// MIN complements the key, so that the largest value goes first while equal
// values still go in ascending row order.
template <Order O>
inline std::uint64_t ordered_key(double x, double centre) noexcept {
    if constexpr (O == Order::ascending) {
        return order_key(x);
    } else if constexpr (O == Order::descending) {
        return ~order_key(x);
    } else {
        // Computed exactly as cmp_nearest does.
        const double d = x - centre;
        return order_key(d * d);
    }
}

// How a column's references are obtained and used.
struct ColumnRole {
    bool sample = false;  // its draws are computed (they may be NaN, or they vary)
    bool moving = false;  // GM with references that vary: replayed pass by pass
    // A moving column whose samples cannot be NaN: the plan keeps the two
    // uniforms of each draw and the column's task turns them into the sample,
    // off the calling thread.
    bool defer = false;
    double centre = 0.0;  // GM otherwise: the reference of every pass
};

struct Schedule {
    std::vector<std::size_t> takes;               // cells each column loses
    // Moving columns: the reference of each cell, in pass order; for deferred
    // columns the two uniforms of its draw in turn.
    std::vector<std::vector<double>> references;
    // The pass after the planned ones drew a NaN reference: the call fails there.
    bool nan_reference = false;
};

Schedule plan(Rng& rng, std::size_t target, std::vector<std::size_t> counts, const std::vector<Gauss>* dists,
              const std::vector<ColumnRole>& roles) {
    const std::size_t cols = counts.size();
    Schedule s;
    s.takes.assign(cols, 0);
    s.references.resize(cols);
    std::size_t total = 0, live = 0;
    for (std::size_t n : counts) total += n, live += n > 0;
    // Room for an even share of the target, which is what a column gets unless
    // others run out first.
    for (std::size_t c = 0; c < cols; ++c)
        if (roles[c].moving)
            s.references[c].reserve((roles[c].defer ? 2 : 1) * std::min(counts[c], target / std::max<std::size_t>(live, 1) + 1));
    std::vector<std::size_t> picked;
    std::vector<char> took(cols);
    std::size_t removed = 0;
    while (removed < target) {
        interrupt_point(cols);
        const std::size_t rem = target - removed;
        const bool all = rem >= cols;
        if (all && !dists) {
            // Without draws, a run of passes over every column is one step: until
            // a column runs out or the target comes within `cols`.
            std::size_t active = 0, shortest = kNone;
            for (std::size_t n : counts)
                if (n > 0) ++active, shortest = std::min(shortest, n);
            if (active == 0) break;
            const std::size_t passes = std::min(shortest, (rem - cols) / active + 1);
            for (std::size_t c = 0; c < cols; ++c)
                if (counts[c] > 0) counts[c] -= passes, s.takes[c] += passes;
            removed += passes * active;
            total -= passes * active;
            continue;
        }
        if (!all) picked = reservoir_sample(rng, cols, rem);
        const std::size_t k = all ? cols : picked.size();
        std::size_t yielded = 0;
        bool nan = false;
        for (std::size_t i = 0; i < k; ++i) {
            const std::size_t c = all ? i : picked[i];
            took[i] = counts[c] > 0;
            if (dists) {
                const ColumnRole& role = roles[c];
                if (role.defer) {
                    // The draws of Gauss::sample; the column's task computes it.
                    const GaussUniforms u = draw_uniforms(rng);
                    if (took[i]) s.references[c].push_back(u.u1), s.references[c].push_back(u.u2);
                } else if (role.sample) {
                    const double v = (*dists)[c].sample(rng);
                    // Only a column that still has a cell to lose needs its reference.
                    nan |= std::isnan(v) && took[i];
                    if (took[i] && role.moving) s.references[c].push_back(v);
                } else {
                    // Known to be the mean: only the words are used up.
                    (void)draw_uniforms(rng);
                }
            }
            if (took[i]) --counts[c], ++s.takes[c], ++yielded;
        }
        if (nan) {
            // The literal passes fail before this pass removes anything.
            for (std::size_t i = 0; i < k; ++i) {
                const std::size_t c = all ? i : picked[i];
                if (!took[i]) continue;
                ++counts[c], --s.takes[c];
                if (roles[c].moving) s.references[c].resize(s.references[c].size() - (roles[c].defer ? 2 : 1));
            }
            s.nan_reference = true;
            break;
        }
        if (yielded == 0) {
            // A sampled pass can miss the columns that still have candidates;
            // only an exhausted matrix ends the call.
            if (total == 0) break;
            continue;
        }
        removed += yielded;
        total -= yielded;
    }
    return s;
}

// Consecutive row ranges, one parallel piece each.
struct RowChunks {
    std::size_t rows, count;
    RowChunks(std::size_t rows_, std::size_t threads, std::size_t min_rows) : rows(rows_) {
        count = std::min(threads * 2, std::max<std::size_t>(1, rows / std::max<std::size_t>(1, min_rows)));
        // Histogram counts are 32-bit.
        count = std::max(count, (rows >> 31) + 1);
    }
    std::size_t begin(std::size_t i) const noexcept { return rows / count * i + std::min(i, rows % count); }
    std::size_t end(std::size_t i) const noexcept { return begin(i + 1); }
};

bool is_candidate(double x, std::size_t protected_col, std::size_t col) noexcept {
    return !std::isnan(x) && protected_col != col;
}

std::vector<std::size_t> candidate_counts(Pool& pool, const DataMatrix& m, std::span<const std::size_t> prot,
                                          const ValuePassTuning& tuning) {
    const std::size_t cols = m.cols();
    const RowChunks chunks(m.rows(), pool.threads(), tuning.chunk_rows);
    std::vector<std::vector<std::size_t>> partial(chunks.count, std::vector<std::size_t>(cols, 0));
    pool.run_chunks(chunks.count, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t ch = b; ch < e; ++ch) {
            std::size_t* count = partial[ch].data();
            for (std::size_t r = chunks.begin(ch); r < chunks.end(ch); ++r) {
                if ((r & 1023) == 0) interrupt_point(1024 * cols);
                const double* row = m.data() + r * cols;
                for (std::size_t c = 0; c < cols; ++c) count[c] += !std::isnan(row[c]);
                // The protected cell was counted when it holds a value.
                if (prot[r] < cols && !std::isnan(row[prot[r]])) --count[prot[r]];
            }
        }
    });
    std::vector<std::size_t> total(cols, 0);
    for (const auto& count : partial)
        for (std::size_t c = 0; c < cols; ++c) total[c] += count[c];
    return total;
}

// A moving column's candidates in total order: keys and rows.
struct SortedColumn {
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> rows;
};

// Gathers the listed columns (neighbours in the matrix, which share cache
// lines) in one sweep down the rows, then sorts each. Only reads the matrix.
void sort_columns(const DataMatrix& m, std::span<const std::size_t> prot, std::span<const std::size_t> group,
                  std::span<const std::size_t> counts, std::span<SortedColumn> out) {
    const std::size_t rows = m.rows(), cols = m.cols(), g = group.size();
    std::vector<std::size_t> filled(g, 0);
    for (std::size_t j = 0; j < g; ++j) out[j].keys.resize(counts[group[j]]), out[j].rows.resize(counts[group[j]]);
    for (std::size_t r = 0; r < rows; ++r) {
        if ((r & 1023) == 0) interrupt_point(1024 * g);
        const double* row = m.data() + r * cols;
        for (std::size_t j = 0; j < g; ++j) {
            const std::size_t c = group[j];
            const double x = row[c];
            if (!is_candidate(x, prot[r], c)) continue;
            out[j].keys[filled[j]] = order_key(x);
            out[j].rows[filled[j]++] = std::uint32_t(r);
        }
    }
    for (std::size_t j = 0; j < g; ++j) {
        sort_by_key(out[j].keys, out[j].rows);
    }
}

// GM with varying references: one nearest() per pass on the column's
// candidates. Writes the column's NaN cells itself; no other task touches
// this column.
void replay_moving(DataMatrix& m, std::size_t col, SortedColumn sorted, const std::vector<double>& references) {
    const std::size_t rows = m.rows(), cols = m.cols(), n = sorted.keys.size();
    // Where each reference falls among the keys, all in one merge: the
    // references in key order against the sorted keys. (Searching for each one
    // costs several times more: the searches miss the cache.)
    const std::size_t passes = references.size();
    std::vector<std::uint64_t> ref_keys(passes);
    std::vector<std::uint32_t> pass_of(passes);
    for (std::size_t t = 0; t < passes; ++t) ref_keys[t] = order_key(references[t]);
    std::iota(pass_of.begin(), pass_of.end(), std::uint32_t{0});
    sort_by_key(ref_keys, pass_of);
    std::vector<std::uint32_t> split(passes);
    std::size_t p = 0;
    for (std::size_t q = 0; q < passes; ++q) {
        while (p < n && sorted.keys[p] <= ref_keys[q]) ++p;
        split[pass_of[q]] = std::uint32_t(p);
    }
    ref_keys = {};
    pass_of = {};

    OrderedCandidates cand(std::move(sorted.keys), std::move(sorted.rows));
    // Marked first and written in row order: writing as chosen would miss the
    // cache on nearly every cell.
    std::vector<std::uint64_t> taken((rows + 63) / 64, 0);
    constexpr std::size_t kAhead = 8;
    for (std::size_t t = 0; t < passes; ++t) {
        if ((t & 1023) == 0) interrupt_point(1024 * 8);
        if (t + kAhead < passes) cand.prefetch(split[t + kAhead]);
        const std::size_t i = cand.nearest(references[t], split[t]);
        if (i == OrderedCandidates::npos) panic("a planned cell has no candidate");
        const std::uint32_t r = cand.row(i);
        taken[r >> 6] |= std::uint64_t{1} << (r & 63);
        cand.erase(i);
    }
    const double nan = missing_nan();
    double* data = m.data();
    for (std::size_t w = 0; w < taken.size(); ++w)
        for (std::uint64_t bits = taken[w]; bits != 0; bits &= bits - 1)
            data[(w * 64 + std::size_t(std::countr_zero(bits))) * cols + col] = nan;
}

// One column's search for the last cell it loses, in (key, row) order. The
// candidates whose key starts with `prefix` (the bits above `shift`) are
// `matching`, and the cell sought is the `rank`-th of them.
struct Selection {
    std::size_t col;
    double centre;
    std::size_t rank;
    std::size_t matching;
    std::uint64_t prefix = 0;
    unsigned shift = 64;
    bool found = false;
    // Every candidate up to (last_key, last_row) goes.
    std::uint64_t last_key = ~std::uint64_t{0};
    std::size_t last_row = kNone;

    bool matches(std::uint64_t k) const noexcept { return shift == 64 || (k >> shift) == (prefix >> shift); }
};

// The candidates of a group of columns, row by row: f(j, key, row).
template <Order O, class F>
void sweep(const double* data, std::size_t cols, std::span<const std::size_t> prot,
           const std::vector<std::size_t>& group_cols, const std::vector<double>& centres, std::size_t begin,
           std::size_t end, F&& f) {
    const std::size_t n = group_cols.size();
    for (std::size_t r = begin; r < end; ++r) {
        if ((r & 1023) == 0) interrupt_point(1024 * n);
        const double* row = data + r * cols;
        const std::size_t p = prot[r];
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t c = group_cols[j];
            const double x = row[c];
            if (!is_candidate(x, p, c)) continue;
            f(j, ordered_key<O>(x, centres[j]), r);
        }
    }
}

template <Order O>
class GroupSelector {
public:
    GroupSelector(Pool& pool, DataMatrix& m, std::span<const std::size_t> prot, std::vector<Selection>& sel,
                  const ValuePassTuning& tuning)
        : pool_(pool), m_(m), prot_(prot), sel_(sel), tuning_(tuning),
          chunks_(m.rows(), pool.threads(), tuning.chunk_rows) {}

    void run() {
        bracket();
        for (;;) {
            std::vector<std::size_t> open;
            for (std::size_t j = 0; j < sel_.size(); ++j)
                if (!sel_[j].found && sel_[j].matching > tuning_.collect_limit && sel_[j].shift > 0) open.push_back(j);
            if (open.empty()) break;
            narrow(open);
        }
        std::vector<std::size_t> rest;
        for (std::size_t j = 0; j < sel_.size(); ++j)
            if (!sel_[j].found) rest.push_back(j);
        if (!rest.empty()) collect(rest);
        write();
    }

private:
    void columns_of(const std::vector<std::size_t>& which, std::vector<std::size_t>& cols,
                    std::vector<double>& centres) const {
        cols.clear();
        centres.clear();
        for (std::size_t j : which) cols.push_back(sel_[j].col), centres.push_back(sel_[j].centre);
    }

    // Bounds around each column's last cell, read off a sample of evenly
    // spaced rows: the keys ranked well below and well above where the cell
    // should fall. Empty when the sample cannot make the range narrow.
    struct Bounds {
        std::size_t sel;
        std::uint64_t lo, hi;
    };

    std::vector<Bounds> sample_bounds() const {
        const std::size_t rows = m_.rows();
        // Large enough for a bracket of a few percent of the column, small
        // enough to cost little next to one sweep.
        const std::size_t want = std::min(tuning_.bracket_rows, std::max<std::size_t>(1024, rows / 128));
        std::vector<Bounds> out;
        if (want == 0 || rows < 4 * want) return out;
        std::vector<std::size_t> open;
        for (std::size_t j = 0; j < sel_.size(); ++j)
            if (!sel_[j].found && sel_[j].matching > tuning_.collect_limit) open.push_back(j);
        if (open.empty()) return out;

        // Row by row, so that each sampled row is fetched once for all columns.
        const std::size_t stride = rows / want;
        std::vector<std::vector<std::uint64_t>> keys(open.size());
        for (std::size_t r = stride / 2; r < rows; r += stride) {
            const double* row = m_.data() + r * m_.cols();
            for (std::size_t i = 0; i < open.size(); ++i) {
                const Selection& s = sel_[open[i]];
                if (is_candidate(row[s.col], prot_[r], s.col)) keys[i].push_back(ordered_key<O>(row[s.col], s.centre));
            }
        }
        for (std::size_t i = 0; i < open.size(); ++i) {
            const Selection& s = sel_[open[i]];
            std::vector<std::uint64_t>& k = keys[i];
            const double n = double(k.size());
            // Four standard deviations of the sample rank either side: the cell
            // falls outside in about one call in ten thousand, which then only
            // costs the histogram sweeps it would have made anyway.
            const double q = double(s.rank) / double(s.matching);
            const double at = q * n, margin = tuning_.bracket_sigmas * std::sqrt(n * q * (1.0 - q)) + 2.0;
            // A bracket holding more than a quarter of the column saves no sweep.
            if (k.empty() || 2.0 * margin > 0.25 * n) continue;
            const double lo_at = std::floor(at - margin), hi_at = std::ceil(at + margin);
            std::uint64_t lo = 0, hi = ~std::uint64_t{0};
            auto lo_it = k.begin();
            if (lo_at >= 0.0) {
                lo_it = k.begin() + std::ptrdiff_t(lo_at);
                std::nth_element(k.begin(), lo_it, k.end());
                lo = *lo_it;
            }
            if (hi_at < n) {
                const auto hi_it = k.begin() + std::ptrdiff_t(hi_at);
                std::nth_element(lo_it, hi_it, k.end());
                hi = *hi_it;
            }
            out.push_back({open[i], lo, hi});
        }
        return out;
    }

    // One sweep for every bracketed column: its candidates below the range
    // are counted, those inside gathered. When the cell sought falls inside,
    // it is found among the gathered ones; otherwise the column is searched as
    // if this step had not run.
    void bracket() {
        const std::vector<Bounds> bounds = sample_bounds();
        if (bounds.empty()) return;
        const std::size_t n = bounds.size();
        using KeyRow = std::pair<std::uint64_t, std::size_t>;
        std::vector<std::vector<KeyRow>> inside(chunks_.count * n);
        std::vector<std::size_t> below(chunks_.count * n, 0);
        std::vector<std::size_t> cols(n);
        std::vector<double> centres(n);
        std::vector<std::uint64_t> lo(n), width(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Selection& s = sel_[bounds[i].sel];
            cols[i] = s.col, centres[i] = s.centre;
            lo[i] = bounds[i].lo, width[i] = bounds[i].hi - bounds[i].lo;
        }
        const double* data = m_.data();
        const std::size_t mcols = m_.cols();
        pool_.run_chunks(chunks_.count, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t ch = b; ch < e; ++ch) {
                // Kept apart from other chunks' until the end: neighbouring
                // counters written from two threads would share cache lines.
                std::vector<std::size_t> under(n, 0);
                std::vector<std::vector<KeyRow>> mine(n);
                for (std::size_t r = chunks_.begin(ch); r < chunks_.end(ch); ++r) {
                    if ((r & 1023) == 0) interrupt_point(1024 * n);
                    const double* row = data + r * mcols;
                    const std::size_t p = prot_[r];
                    for (std::size_t i = 0; i < n; ++i) {
                        const double x = row[cols[i]];
                        const std::uint64_t k = ordered_key<O>(x, centres[i]);
                        const bool counts = (x == x) & (p != cols[i]);
                        under[i] += counts & (k < lo[i]);
                        // One unsigned comparison for lo <= k <= hi.
                        if (counts & (k - lo[i] <= width[i])) mine[i].emplace_back(k, r);
                    }
                }
                for (std::size_t i = 0; i < n; ++i) {
                    below[ch * n + i] = under[i];
                    inside[ch * n + i] = std::move(mine[i]);
                }
            }
        });
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t under = 0, count = 0;
            for (std::size_t ch = 0; ch < chunks_.count; ++ch)
                under += below[ch * n + i], count += inside[ch * n + i].size();
            Selection& s = sel_[bounds[i].sel];
            const bool held = s.rank > under && s.rank <= under + count;
            if (auto* counts = tuning_.bracket_counts) ++(held ? counts->held : counts->missed);
            if (!held) continue;
            std::vector<KeyRow> all;
            all.reserve(count);
            for (std::size_t ch = 0; ch < chunks_.count; ++ch) {
                std::vector<KeyRow>& part = inside[ch * n + i];
                all.insert(all.end(), part.begin(), part.end());
                part = {};
            }
            const auto nth = all.begin() + std::ptrdiff_t(s.rank - under - 1);
            std::nth_element(all.begin(), nth, all.end());
            s.last_key = nth->first;
            s.last_row = nth->second;
            s.found = true;
        }
    }

    // One sweep: the next digit of every open column's key, among the
    // candidates that match its prefix; then the digit that holds its rank.
    // The kernel has no branch on the data (a count of 0 is added where a cell
    // does not count): which cells match is as good as random.
    void narrow(const std::vector<std::size_t>& open) {
        const unsigned bits = std::clamp(tuning_.digit_bits, 1u, 16u);
        const std::size_t buckets = std::size_t{1} << bits, n = open.size();
        std::vector<std::size_t> cols;
        std::vector<double> centres;
        columns_of(open, cols, centres);
        std::vector<unsigned> width(n), low(n);
        std::vector<std::uint64_t> high_mask(n), prefix(n), digit_mask(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Selection& s = sel_[open[i]];
            width[i] = std::min(bits, s.shift);
            low[i] = s.shift - width[i];
            digit_mask[i] = (std::uint64_t{1} << width[i]) - 1;
            high_mask[i] = s.shift == 64 ? 0 : ~std::uint64_t{0} << s.shift;
            prefix[i] = s.prefix & high_mask[i];
        }

        const std::size_t stride = n * buckets;
        std::vector<std::uint32_t> hist(chunks_.count * stride, 0);
        const double* data = m_.data();
        const std::size_t mcols = m_.cols();
        pool_.run_chunks(chunks_.count, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t ch = b; ch < e; ++ch) {
                std::uint32_t* h = hist.data() + ch * stride;
                for (std::size_t r = chunks_.begin(ch); r < chunks_.end(ch); ++r) {
                    if ((r & 1023) == 0) interrupt_point(1024 * n);
                    const double* row = data + r * mcols;
                    const std::size_t p = prot_[r];
                    for (std::size_t i = 0; i < n; ++i) {
                        const std::size_t c = cols[i];
                        const double x = row[c];
                        const std::uint64_t k = ordered_key<O>(x, centres[i]);
                        const unsigned counts = unsigned(x == x) & unsigned(p != c) &
                                                unsigned((k & high_mask[i]) == prefix[i]);
                        h[i * buckets + ((k >> low[i]) & digit_mask[i])] += counts;
                    }
                }
            }
        });
        for (std::size_t i = 0; i < n; ++i) {
            Selection& s = sel_[open[i]];
            std::size_t below = 0;
            bool found = false;
            for (std::size_t d = 0; d < (std::size_t{1} << width[i]); ++d) {
                std::size_t here = 0;
                for (std::size_t ch = 0; ch < chunks_.count; ++ch) here += hist[ch * stride + i * buckets + d];
                if (below + here >= s.rank) {
                    s.rank -= below;
                    s.matching = here;
                    s.prefix = prefix[i] | (std::uint64_t(d) << low[i]);
                    s.shift = low[i];
                    found = true;
                    break;
                }
                below += here;
            }
            if (!found) panic("a planned cell has no candidate");
        }
    }

    // The few candidates left per column, gathered and ordered.
    void collect(const std::vector<std::size_t>& rest) {
        std::vector<std::size_t> cols;
        std::vector<double> centres;
        columns_of(rest, cols, centres);
        using KeyRow = std::pair<std::uint64_t, std::size_t>;
        std::vector<std::vector<std::vector<KeyRow>>> gathered(chunks_.count,
                                                              std::vector<std::vector<KeyRow>>(rest.size()));
        pool_.run_chunks(chunks_.count, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t ch = b; ch < e; ++ch) {
                auto& mine = gathered[ch];
                sweep<O>(m_.data(), m_.cols(), prot_, cols, centres, chunks_.begin(ch), chunks_.end(ch),
                         [&](std::size_t i, std::uint64_t k, std::size_t r) {
                             if (sel_[rest[i]].matches(k)) mine[i].emplace_back(k, r);
                         });
            }
        });
        for (std::size_t i = 0; i < rest.size(); ++i) {
            Selection& s = sel_[rest[i]];
            std::vector<KeyRow> all;
            all.reserve(s.matching);
            for (auto& per_chunk : gathered) all.insert(all.end(), per_chunk[i].begin(), per_chunk[i].end());
            if (s.rank == 0 || s.rank > all.size()) panic("a planned cell has no candidate");
            const auto nth = all.begin() + std::ptrdiff_t(s.rank - 1);
            std::nth_element(all.begin(), nth, all.end());
            s.last_key = nth->first;
            s.last_row = nth->second;
            s.found = true;
        }
    }

    // Every candidate up to the one found goes. The cell is rewritten either
    // way rather than branching on a comparison that is as good as random; the
    // cache lines are nearly all written to anyway.
    void write() {
        std::vector<std::size_t> cols;
        std::vector<double> centres;
        std::vector<std::size_t> every(sel_.size());
        std::iota(every.begin(), every.end(), std::size_t{0});
        columns_of(every, cols, centres);
        std::vector<std::uint64_t> last_key(sel_.size());
        std::vector<std::size_t> last_row(sel_.size());
        for (std::size_t j = 0; j < sel_.size(); ++j) last_key[j] = sel_[j].last_key, last_row[j] = sel_[j].last_row;
        double* data = m_.data();
        const std::size_t mcols = m_.cols(), n = cols.size();
        pool_.run_chunks(chunks_.count, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t ch = b; ch < e; ++ch) {
                for (std::size_t r = chunks_.begin(ch); r < chunks_.end(ch); ++r) {
                    if ((r & 1023) == 0) interrupt_point(1024 * n);
                    double* row = data + r * mcols;
                    const std::size_t p = prot_[r];
                    for (std::size_t j = 0; j < n; ++j) {
                        const std::size_t c = cols[j];
                        const double x = row[c];
                        const std::uint64_t k = ordered_key<O>(x, centres[j]);
                        const unsigned before = unsigned(k < last_key[j]) |
                                                (unsigned(k == last_key[j]) & unsigned(r <= last_row[j]));
                        // All ones where the cell goes: NaN's bits, else the cell's own.
                        const std::uint64_t go = 0 - std::uint64_t(unsigned(x == x) & unsigned(p != c) & before);
                        std::uint64_t bits;
                        std::memcpy(&bits, &x, sizeof bits);
                        bits = (bits & ~go) | (kNanBits & go);
                        std::memcpy(&row[c], &bits, sizeof bits);
                    }
                }
            }
        });
    }

    Pool& pool_;
    DataMatrix& m_;
    std::span<const std::size_t> prot_;
    std::vector<Selection>& sel_;
    const ValuePassTuning& tuning_;
    RowChunks chunks_;
};

template <Order O>
void remove_selected(Pool& pool, DataMatrix& m, std::span<const std::size_t> prot, std::vector<Selection>& sel,
                     const ValuePassTuning& tuning) {
    // A group of columns at a time keeps the histograms of a sweep in cache.
    const std::size_t group = std::max<std::size_t>(1, tuning.group_cols);
    for (std::size_t first = 0; first < sel.size(); first += group) {
        std::vector<Selection> part(sel.begin() + std::ptrdiff_t(first),
                                    sel.begin() + std::ptrdiff_t(std::min(sel.size(), first + group)));
        GroupSelector<O>(pool, m, prot, part, tuning).run();
    }
}

std::optional<Order> order_of(CmpFn cmp) noexcept {
    if (cmp == cmp_ascending) return Order::ascending;
    if (cmp == cmp_descending) return Order::descending;
    if (cmp == cmp_nearest) return Order::nearest;
    return std::nullopt;
}

}  // namespace

void drop_values_fast(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                      CmpFn cmp, const std::vector<Gauss>* dists, std::size_t target,
                      const ValuePassTuning& tuning) {
    const std::size_t rows = matrix.rows(), cols = matrix.cols();
    const std::optional<Order> order = order_of(cmp);
    // What the fast passes do not cover is left to the literal ones, which then
    // also report any failure in their own way.
    bool literal = !order || (dists && dists->size() < cols) || protected_cols.size() < rows;

    std::vector<ColumnRole> roles(cols);
    bool any_moving = false;
    for (std::size_t c = 0; c < cols && dists; ++c) {
        const Gauss g = (*dists)[c];
        // z * 0 + mean is the mean whatever z (a zero mean may come back as -0,
        // which is at the same distance from every key).
        const bool constant = g.scale == 0.0 && !std::isnan(g.mean);
        roles[c].sample = !constant;
        roles[c].moving = *order == Order::nearest && !constant;
        // z is finite and never 0, so z * scale + mean is NaN only through a NaN
        // parameter or an infinite mean meeting an infinite product.
        roles[c].defer = roles[c].moving && !std::isnan(g.mean) && !std::isnan(g.scale) &&
                         (std::isfinite(g.mean) || std::abs(g.scale) <= 1e300);
        roles[c].centre = constant ? g.mean : 0.0;
        any_moving |= roles[c].moving;
    }
    // Ordered candidates number their rows in 32 bits.
    literal |= any_moving && rows >= std::size_t{0xFFFFFFFF};
    if (literal) {
        drop_values_literal(pool, matrix, protected_cols, rng, cmp, dists, target);
        return;
    }
    if (target == 0) return;

    const std::vector<std::size_t> counts = candidate_counts(pool, matrix, protected_cols, tuning);

    // A deferred draw keeps two uniforms until its column's task, twice what a
    // sample takes. Past three quarters of the matrix's size in uniforms, the
    // samples are computed by the plan instead: slower, but half the memory.
    std::size_t moving_candidates = 0;
    for (std::size_t c = 0; c < cols; ++c)
        if (roles[c].moving) moving_candidates += counts[c];
    if (std::min(target, moving_candidates) * 2 > matrix.size() * 3 / 4)
        for (ColumnRole& role : roles) role.defer = false;

    // GM columns with varying references: a few per task share the sweep that
    // gathers them, while leaving enough tasks to keep every thread busy.
    std::vector<std::size_t> moving;
    for (std::size_t c = 0; c < cols; ++c)
        if (roles[c].moving && counts[c] > 0) moving.push_back(c);
    const std::size_t per_task = std::clamp<std::size_t>(moving.size() / (pool.threads() * 4), 1, 4);
    const std::size_t groups = (moving.size() + per_task - 1) / per_task;
    auto group = [&](std::size_t i) {
        const std::size_t first = i * per_task;
        return std::span<const std::size_t>(moving).subspan(first, std::min(moving.size(), first + per_task) - first);
    };
    std::vector<SortedColumn> sorted(moving.size());

    // Every draw first, on the calling thread. (Sorting the first groups on
    // the other threads meanwhile saves little of the time and costs memory.)
    Schedule s = plan(rng, target, counts, dists, roles);

    pool.run_chunks(groups, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const std::span<const std::size_t> cols_of = group(i);
            const std::span<SortedColumn> mine = std::span<SortedColumn>(sorted).subspan(i * per_task, cols_of.size());
            if (std::any_of(cols_of.begin(), cols_of.end(), [&](std::size_t c) { return s.takes[c] > 0; }))
                sort_columns(matrix, protected_cols, cols_of, counts, mine);
            for (std::size_t j = 0; j < cols_of.size(); ++j) {
                const std::size_t c = cols_of[j];
                std::vector<double>& refs = s.references[c];
                if (roles[c].defer) {
                    // The samples from their uniforms, in place.
                    const std::size_t passes = refs.size() / 2;
                    for (std::size_t t = 0; t < passes; ++t)
                        refs[t] = (*dists)[c].from_uniforms({refs[2 * t], refs[2 * t + 1]});
                    refs.resize(passes);
                }
                if (s.takes[c] > 0) replay_moving(matrix, c, std::move(mine[j]), refs);
                mine[j] = {};
                refs = {};
            }
        }
    });

    std::vector<Selection> sel;
    for (std::size_t c = 0; c < cols; ++c) {
        if (roles[c].moving || s.takes[c] == 0) continue;
        Selection x{c, roles[c].centre, s.takes[c], counts[c]};
        // A column that loses every candidate needs no search.
        x.found = s.takes[c] == counts[c];
        sel.push_back(x);
    }
    switch (*order) {
        case Order::ascending: remove_selected<Order::ascending>(pool, matrix, protected_cols, sel, tuning); break;
        case Order::descending: remove_selected<Order::descending>(pool, matrix, protected_cols, sel, tuning); break;
        case Order::nearest: remove_selected<Order::nearest>(pool, matrix, protected_cols, sel, tuning); break;
    }
    if (s.nan_reference) panic("Sample is nan");
}

}  // namespace porosa::mnar_detail
