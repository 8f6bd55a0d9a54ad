#include "generators/mnar/fixed_selection.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <utility>

#include "core/panic.hpp"
#include "core/row_sweep.hpp"
#include "generators/utils/rank_select.hpp"

namespace porosa::mnar {

namespace {

// The candidates of a group of columns, row by row: f(j, key, row).
template <Order O, class F>
void sweep(const double* data, std::size_t cols, std::span<const std::size_t> prot,
           const std::vector<std::size_t>& group_cols, const std::vector<double>& centres, std::size_t begin,
           std::size_t end, F&& f) {
    const std::size_t n = group_cols.size();
    for_row_blocks(begin, end, n, [&](std::size_t r0, std::size_t r1) {
        for (std::size_t r = r0; r < r1; ++r) {
            const double* row = data + r * cols;
            const std::size_t p = prot[r];
            for (std::size_t j = 0; j < n; ++j) {
                const std::size_t c = group_cols[j];
                const double x = row[c];
                if (!is_candidate(x, p, c)) continue;
                f(j, ordered_key<O>(x, centres[j]), r);
            }
        }
    });
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

    using KeyRow = std::pair<std::uint64_t, std::size_t>;

    // The cell sought is the rank-th (from 1) of `all` in (key, row) order.
    static void settle(Selection& s, std::vector<KeyRow>& all, std::size_t rank) {
        const auto nth = all.begin() + std::ptrdiff_t(rank - 1);
        std::nth_element(all.begin(), nth, all.end());
        s.last_key = nth->first;
        s.last_row = nth->second;
        s.found = true;
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
        std::vector<std::vector<KeyRow>> inside(chunks_.count * n);
        std::vector<std::size_t> below(chunks_.count * n, 0);
        sweep_brackets(bounds, below, inside);
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t under = 0, count = 0;
            for (std::size_t ch = 0; ch < chunks_.count; ++ch)
                under += below[ch * n + i], count += inside[ch * n + i].size();
            Selection& s = sel_[bounds[i].sel];
            const bool held = s.rank > under && s.rank <= under + count;
            if (!held) continue;
            std::vector<KeyRow> all;
            all.reserve(count);
            for (std::size_t ch = 0; ch < chunks_.count; ++ch) {
                std::vector<KeyRow>& part = inside[ch * n + i];
                all.insert(all.end(), part.begin(), part.end());
                part = {};
            }
            settle(s, all, s.rank - under);
        }
    }

    // Per chunk and bracketed column (chunk-major): the candidates below the
    // range counted, those inside gathered.
    void sweep_brackets(const std::vector<Bounds>& bounds, std::vector<std::size_t>& below,
                        std::vector<std::vector<KeyRow>>& inside) {
        const std::size_t n = bounds.size();
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
        for_chunks(pool_, chunks_, [&](std::size_t ch, std::size_t begin, std::size_t end) {
            // Kept apart from other chunks' until the end: neighbouring
            // counters written from two threads would share cache lines.
            std::vector<std::size_t> under(n, 0);
            std::vector<std::vector<KeyRow>> mine(n);
            for_row_blocks(begin, end, n, [&](std::size_t r0, std::size_t r1) {
                for (std::size_t r = r0; r < r1; ++r) {
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
            });
            for (std::size_t i = 0; i < n; ++i) {
                below[ch * n + i] = under[i];
                inside[ch * n + i] = std::move(mine[i]);
            }
        });
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
        for_chunks(pool_, chunks_, [&](std::size_t ch, std::size_t begin, std::size_t end) {
            std::uint32_t* h = hist.data() + ch * stride;
            for_row_blocks(begin, end, n, [&](std::size_t r0, std::size_t r1) {
                for (std::size_t r = r0; r < r1; ++r) {
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
            });
        });
        std::vector<std::size_t> merged;
        for (std::size_t i = 0; i < n; ++i) {
            Selection& s = sel_[open[i]];
            merged.assign(std::size_t{1} << width[i], 0);
            for (std::size_t ch = 0; ch < chunks_.count; ++ch)
                for (std::size_t d = 0; d < merged.size(); ++d) merged[d] += hist[ch * stride + i * buckets + d];
            // Ranks count from 1 here.
            const RankBucket at = find_rank<std::size_t>(merged, s.rank - 1, false);
            if (at.bucket == merged.size()) panic("a planned cell has no candidate");
            s.rank -= at.under;
            s.matching = merged[at.bucket];
            s.prefix = prefix[i] | (std::uint64_t(at.bucket) << low[i]);
            s.shift = low[i];
        }
    }

    // The few candidates left per column, gathered and ordered.
    void collect(const std::vector<std::size_t>& rest) {
        std::vector<std::size_t> cols;
        std::vector<double> centres;
        columns_of(rest, cols, centres);
        std::vector<std::vector<std::vector<KeyRow>>> gathered(chunks_.count,
                                                              std::vector<std::vector<KeyRow>>(rest.size()));
        for_chunks(pool_, chunks_, [&](std::size_t ch, std::size_t begin, std::size_t end) {
            auto& mine = gathered[ch];
            sweep<O>(m_.data(), m_.cols(), prot_, cols, centres, begin, end,
                     [&](std::size_t i, std::uint64_t k, std::size_t r) {
                         if (sel_[rest[i]].matches(k)) mine[i].emplace_back(k, r);
                     });
        });
        for (std::size_t i = 0; i < rest.size(); ++i) {
            Selection& s = sel_[rest[i]];
            std::vector<KeyRow> all;
            all.reserve(s.matching);
            for (auto& per_chunk : gathered) all.insert(all.end(), per_chunk[i].begin(), per_chunk[i].end());
            if (s.rank == 0 || s.rank > all.size()) panic("a planned cell has no candidate");
            settle(s, all, s.rank);
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
        // Plain pointers, captured by value: the stores below may alias any
        // memory, so whatever the loop reads through a reference it reloads.
        const std::size_t *col = cols.data(), *prot = prot_.data(), *lrow = last_row.data();
        const double* centre = centres.data();
        const std::uint64_t* lkey = last_key.data();
        sweep_rows(pool_, chunks_, n, [=](std::size_t, std::size_t r0, std::size_t r1) {
            for (std::size_t r = r0; r < r1; ++r) {
                double* row = data + r * mcols;
                const std::size_t p = prot[r];
                for (std::size_t j = 0; j < n; ++j) {
                    const std::size_t c = col[j];
                    const double x = row[c];
                    const std::uint64_t k = ordered_key<O>(x, centre[j]);
                    const unsigned before = unsigned(k < lkey[j]) | (unsigned(k == lkey[j]) & unsigned(r <= lrow[j]));
                    // All ones where the cell goes: NaN's bits, else the cell's own.
                    const std::uint64_t go = 0 - std::uint64_t(unsigned(x == x) & unsigned(p != c) & before);
                    std::uint64_t bits;
                    std::memcpy(&bits, &x, sizeof bits);
                    bits = (bits & ~go) | (kNanBits & go);
                    std::memcpy(&row[c], &bits, sizeof bits);
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
void remove_selected_in(Pool& pool, DataMatrix& m, std::span<const std::size_t> prot, std::vector<Selection>& sel,
                        const ValuePassTuning& tuning) {
    // A group of columns at a time keeps the histograms of a sweep in cache.
    const std::size_t group = std::max<std::size_t>(1, tuning.group_cols);
    for (std::size_t first = 0; first < sel.size(); first += group) {
        std::vector<Selection> part(sel.begin() + std::ptrdiff_t(first),
                                    sel.begin() + std::ptrdiff_t(std::min(sel.size(), first + group)));
        GroupSelector<O>(pool, m, prot, part, tuning).run();
    }
}

}  // namespace

void remove_selected(Pool& pool, DataMatrix& m, std::span<const std::size_t> prot, Order order,
                     std::vector<Selection>& sel, const ValuePassTuning& tuning) {
    switch (order) {
        case Order::ascending: remove_selected_in<Order::ascending>(pool, m, prot, sel, tuning); break;
        case Order::descending: remove_selected_in<Order::descending>(pool, m, prot, sel, tuning); break;
        case Order::nearest: remove_selected_in<Order::nearest>(pool, m, prot, sel, tuning); break;
    }
}

}  // namespace porosa::mnar
