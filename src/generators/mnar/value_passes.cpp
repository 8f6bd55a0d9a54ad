// The value-mode passes without a scan per pass.
//
// Why the schedule can be settled up front: a column's candidates are its
// non-NaN, unprotected cells, and only the column's own removals change them.
// A picked column with a candidate left yields exactly one cell, so which
// columns each pass picks, how many cells it yields, and hence every draw of
// the call (reservoir indices, GM references) follow from the per-column counts
// alone. All the draws are therefore made first, from the stream in the order
// the literal passes make them (pass_plan.hpp), and only then are the cells
// chosen.
//
// Keys never change either, so the cells a column loses are:
//   MAX, MIN, and GM with a reference that is the same in every pass: the first
//     `takes` candidates of one fixed order (fixed_selection.hpp).
//   GM with references that vary: one nearest() + erase() per pass, in pass
//     order, on the column's candidates kept in total order.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "core/float_bits.hpp"
#include "core/free_memory.hpp"
#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "core/row_sweep.hpp"
#include "generators/common/key_sort.hpp"
#include "generators/common/ordered_candidates.hpp"
#include "generators/common/pass_plan.hpp"
#include "generators/mnar/fixed_selection.hpp"
#include "generators/mnar/removal.hpp"

namespace porosa::mnar {

namespace {

// Candidates per column, also per row chunk, so that a later sweep can place
// each chunk's candidates without counting them again.
struct CandidateCounts {
    RowChunks chunks;
    std::vector<std::vector<std::size_t>> per_chunk;  // [chunk][column]
    std::vector<std::size_t> total;
};

CandidateCounts candidate_counts(Pool& pool, const DataMatrix& m, std::span<const std::size_t> prot,
                                 const ValuePassTuning& tuning) {
    const std::size_t cols = m.cols();
    CandidateCounts out{RowChunks(m.rows(), pool.threads(), tuning.chunk_rows), {}, {}};
    const RowChunks& chunks = out.chunks;
    out.per_chunk.assign(chunks.count, std::vector<std::size_t>(cols, 0));
    for_chunks(pool, chunks, [&](std::size_t ch, std::size_t begin, std::size_t end) {
        std::size_t* count = out.per_chunk[ch].data();
        for_row_blocks(begin, end, cols, [&](std::size_t r0, std::size_t r1) {
            for (std::size_t r = r0; r < r1; ++r) {
                const double* row = m.data() + r * cols;
                for (std::size_t c = 0; c < cols; ++c) count[c] += !std::isnan(row[c]);
                // The protected cell was counted when it holds a value.
                if (prot[r] < cols && !std::isnan(row[prot[r]])) --count[prot[r]];
            }
        });
    });
    out.total.assign(cols, 0);
    for (const auto& count : out.per_chunk)
        for (std::size_t c = 0; c < cols; ++c) out.total[c] += count[c];
    return out;
}

// A moving column's candidates in total order: keys and rows.
struct SortedColumn {
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> rows;
};

// The candidates of the listed columns, in row order, gathered by row chunks in
// parallel: every chunk is read once for all of them, and each chunk writes
// where the counts say its candidates start. Only reads the matrix.
void gather_columns(Pool& pool, const DataMatrix& m, std::span<const std::size_t> prot, const CandidateCounts& counts,
                    std::span<const std::size_t> group, std::span<SortedColumn> out) {
    const std::size_t cols = m.cols(), g = group.size(), chunks = counts.chunks.count;
    for (std::size_t j = 0; j < g; ++j) {
        out[j].keys.resize(counts.total[group[j]]);
        out[j].rows.resize(counts.total[group[j]]);
    }
    std::vector<std::size_t> start(chunks * g);
    for (std::size_t j = 0; j < g; ++j)
        for (std::size_t ch = 0, at = 0; ch < chunks; ++ch) start[ch * g + j] = at, at += counts.per_chunk[ch][group[j]];
    for_chunks(pool, counts.chunks, [&](std::size_t ch, std::size_t begin, std::size_t end) {
        std::vector<std::size_t> at(start.begin() + std::ptrdiff_t(ch * g), start.begin() + std::ptrdiff_t(ch * g + g));
        for_row_blocks(begin, end, g, [&](std::size_t r0, std::size_t r1) {
            for (std::size_t r = r0; r < r1; ++r) {
                const double* row = m.data() + r * cols;
                for (std::size_t j = 0; j < g; ++j) {
                    const std::size_t c = group[j];
                    const double x = row[c];
                    if (!is_candidate(x, prot[r], c)) continue;
                    out[j].keys[at[j]] = order_key(x);
                    out[j].rows[at[j]++] = std::uint32_t(r);
                }
            }
        });
    });
}

// Arrays one thread reuses from column to column: fresh ones of these sizes
// would be faulted in anew for every column, at a cost near that of the sort.
struct ReplayScratch {
    std::vector<std::uint64_t> keys, ref_keys, ref_key_buffer;
    std::vector<std::uint32_t> rows, pass_of, pass_buffer, split;
};

// GM with varying references: one nearest() per pass on the column's
// candidates. Writes the column's NaN cells itself; no other task touches
// this column. The column's arrays come back in `sorted`, for reuse.
void replay_moving(DataMatrix& m, std::size_t col, SortedColumn& sorted, const std::vector<double>& references,
                   ReplayScratch& scratch) {
    const std::size_t rows = m.rows(), cols = m.cols(), n = sorted.keys.size();
    sort_by_key(sorted.keys, sorted.rows, scratch.keys, scratch.rows);
    // Where each reference falls among the keys, all in one merge: the
    // references in key order against the sorted keys. (Searching for each one
    // costs several times more: the searches miss the cache.)
    const std::size_t passes = references.size();
    std::vector<std::uint64_t>& ref_keys = scratch.ref_keys;
    std::vector<std::uint32_t>& pass_of = scratch.pass_of;
    ref_keys.resize(passes);
    pass_of.resize(passes);
    for (std::size_t t = 0; t < passes; ++t) ref_keys[t] = order_key(references[t]);
    std::iota(pass_of.begin(), pass_of.end(), std::uint32_t{0});
    sort_by_key(ref_keys, pass_of, scratch.ref_key_buffer, scratch.pass_buffer);
    std::vector<std::uint32_t>& split = scratch.split;
    split.resize(passes);
    std::size_t p = 0;
    for (std::size_t q = 0; q < passes; ++q) {
        while (p < n && sorted.keys[p] <= ref_keys[q]) ++p;
        split[pass_of[q]] = std::uint32_t(p);
    }

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
    std::tie(sorted.keys, sorted.rows) = std::move(cand).release();
    const double nan = missing_nan();
    double* data = m.data();
    for (std::size_t w = 0; w < taken.size(); ++w)
        for (std::uint64_t bits = taken[w]; bits != 0; bits &= bits - 1)
            data[(w * 64 + std::size_t(std::countr_zero(bits))) * cols + col] = nan;
}

// How each column's samples are used, for GM; empty for MAX and MIN.
struct ColumnDraws {
    // Draw::keep marks the moving columns: GM with references that vary,
    // replayed pass by pass.
    std::vector<Draw> draws;
    // The reference of every pass where it is the same in every pass.
    std::vector<double> centres;

    bool moving(std::size_t c) const noexcept { return !draws.empty() && keeps_reference(draws[c]); }
};

ColumnDraws column_draws(Order order, const std::vector<Gauss>* dists, std::size_t cols) {
    ColumnDraws out;
    out.centres.assign(cols, 0.0);
    if (!dists) return out;
    out.draws.resize(cols);
    for (std::size_t c = 0; c < cols; ++c) {
        const Gauss g = (*dists)[c];
        // z * 0 + mean is the mean whatever z (a zero mean may come back as -0,
        // which is at the same distance from every key).
        const bool constant = g.scale == 0.0 && !std::isnan(g.mean);
        out.draws[c] = constant ? Draw::skip : order != Order::nearest ? Draw::check : Draw::keep;
        if (constant) out.centres[c] = g.mean;
    }
    return out;
}

// The moving columns' cells, one nearest() per pass. A round of columns at a
// time: enough to keep every thread busy, few enough that their copies stay
// small.
void remove_moving(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                   const ColumnDraws& cd, const CandidateCounts& counts,
                   PassPlan& plan) {
    std::vector<std::size_t> moving;
    for (std::size_t c = 0; c < plan.takes.size(); ++c)
        if (cd.moving(c) && plan.takes[c] > 0) moving.push_back(c);
    // Half the columns at most keeps the copies (12 bytes a candidate) below
    // the matrix's own size.
    const std::size_t round = std::max<std::size_t>(1, std::min(4 * pool.threads(), counts.total.size() / 2));
    // One task per thread, each with its own scratch, taking columns in turn;
    // the columns' arrays too are kept from one round to the next.
    const std::size_t tasks = std::min(pool.threads(), round);
    std::vector<ReplayScratch> scratch(tasks);
    std::vector<SortedColumn> sorted(std::min(round, moving.size()));
    for (std::size_t first = 0; first < moving.size(); first += round) {
        const std::span<const std::size_t> group =
            std::span<const std::size_t>(moving).subspan(first, std::min(round, moving.size() - first));
        gather_columns(pool, matrix, protected_cols, counts, group, std::span(sorted).first(group.size()));
        std::atomic<std::size_t> next{0};
        pool.run_chunks(tasks, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t task = b; task < e; ++task)
                for (std::size_t j; (j = next.fetch_add(1)) < group.size();) {
                    std::vector<double>& refs = plan.references[group[j]];
                    replay_moving(matrix, group[j], sorted[j], refs, scratch[task]);
                    refs = {};
                }
        });
    }
}

// The other columns' cells: the first `takes` candidates of one fixed order.
void remove_fixed(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols, Order order,
                  const ColumnDraws& cd, std::span<const std::size_t> counts, const PassPlan& plan,
                  const ValuePassTuning& tuning) {
    std::vector<Selection> sel;
    for (std::size_t c = 0; c < counts.size(); ++c) {
        if (cd.moving(c) || plan.takes[c] == 0) continue;
        Selection x{c, cd.centres[c], plan.takes[c], counts[c]};
        // A column that loses every candidate needs no search.
        x.found = plan.takes[c] == counts[c];
        sel.push_back(x);
    }
    remove_selected(pool, matrix, protected_cols, order, sel, tuning);
}

}  // namespace

Outcome<void> drop_values_fast(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                               Rng& rng, Order order, const std::vector<Gauss>* dists, std::size_t target,
                               const ValuePassTuning& tuning) {
    const std::size_t rows = matrix.rows(), cols = matrix.cols();
    // What the fast passes do not cover is left to the literal ones, which then
    // also report any failure in their own way.
    bool literal = (dists && dists->size() < cols) || protected_cols.size() < rows;
    ColumnDraws cd = column_draws(order, literal ? nullptr : dists, cols);
    // Ordered candidates number their rows in 32 bits.
    for (std::size_t c = 0; c < cols && !literal; ++c) literal = cd.moving(c) && rows >= std::size_t{0xFFFFFFFF};
    if (literal) return drop_values_literal(pool, matrix, protected_cols, rng, cmp_of(order), dists, target);
    if (target == 0) return {};

    const CandidateCounts candidates = candidate_counts(pool, matrix, protected_cols, tuning);
    const std::vector<std::size_t>& counts = candidates.total;
    // Every draw first. (Sorting the first columns meanwhile saves little of
    // the time and costs memory.)
    std::span<const Gauss> column_dists;
    if (dists) column_dists = std::span<const Gauss>(*dists).first(cols);
    PassPlan plan = plan_passes(rng, target, counts, Offer::sampled, column_dists, cd.draws, &pool);
    // The plan has made every draw the literal passes would make up to the
    // failing one: nothing is left to choose.
    if (plan.nan_reference) return nan_sample();
    if (dists) {
        remove_moving(pool, matrix, protected_cols, cd, candidates, plan);
        // The moving columns' copies came and went in pieces the allocator may
        // keep for itself; the caller's result is about to need that much again.
        return_free_memory();
    }
    remove_fixed(pool, matrix, protected_cols, order, cd, counts, plan, tuning);
    return {};
}

}  // namespace porosa::mnar
