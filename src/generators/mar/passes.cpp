// The passes of a MAR removal without a scan per pass.
//
// Why the schedule can be settled up front: the candidates of pair i are the
// rows whose cell in its missing column is not NaN, and only pair i ever
// removes cells of that column (missing columns are distinct). So pair i takes a
// cell in every pass it is part of until its count of candidates runs out, and
// which pairs take part, how many cells a pass yields and when the passes end
// follow from the counts alone. GM draws all references of a pass whatever rows
// get picked. The draws are therefore made first, from the stream in the
// order the scanning passes make them (pass_plan.hpp), and each pair then
// replays its own sequence of passes.
//
// Keys are the predictor's cells. An observed predictor never changes, and
// neither does a pair keyed by its own column (its candidates' keys are the
// candidates' own values). The one other case is the predictor of a call with
// no observed column, column 0, being another pair's missing column: its cells
// turn NaN as that pair removes them, so such a pair replays after the owner of
// column 0, switching each row to the NaN key one pass after the owner took it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/float_bits.hpp"
#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "core/row_sweep.hpp"
#include "generators/common/ordered_candidates.hpp"
#include "generators/common/pass_plan.hpp"
#include "generators/mar/removal.hpp"

namespace porosa::mar {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// A GM pair whose every reference is its distribution's mean: z * 0 + mean.
// A zero mean may come back as -0, which is at the same distance from every key.
std::optional<double> constant_reference(const Setup& setup, Pair pair) {
    if (setup.order != Order::nearest) return std::nullopt;
    const Gauss g = at(setup.dists, pair.missing);
    if (g.scale == 0.0 && !std::isnan(g.mean)) return g.mean;
    return std::nullopt;
}

// Pairs are the units of the passes, offered a cell in list order; GM draws
// every pair's reference in every pass.
PassPlan plan(const Setup& setup, std::vector<std::size_t> candidates, std::size_t target, Rng& rng, Pool& pool) {
    const std::size_t n = setup.pairs.size();
    std::vector<Gauss> dists;
    std::vector<Draw> draws;
    if (setup.order == Order::nearest) {
        for (std::size_t i = 0; i < n; ++i) {
            dists.push_back(at(setup.dists, setup.missing[i]));
            // A constant reference is known without computing it.
            draws.push_back(constant_reference(setup, setup.pairs[i]) ? Draw::skip : Draw::keep);
        }
    }
    return plan_passes(rng, target, std::move(candidates), Offer::prefix, dists, draws, &pool);
}

// Non-NaN cells of each missing column, counted in one sweep over the rows.
std::vector<std::size_t> candidate_counts(const DataMatrix& matrix, const Setup& setup, Pool& pool) {
    const std::size_t n = setup.pairs.size(), rows = matrix.rows();
    if (rows == 0) return std::vector<std::size_t>(n, 0);
    const RowChunks chunks = RowChunks::exactly(rows, std::min<std::size_t>(rows, pool.threads() * 4));
    std::vector<std::vector<std::size_t>> partial(chunks.count, std::vector<std::size_t>(n, 0));
    for_chunks(pool, chunks, [&](std::size_t ch, std::size_t begin, std::size_t end) {
        std::vector<std::size_t>& count = partial[ch];
        for_row_blocks(begin, end, n, [&](std::size_t r0, std::size_t r1) {
            for (std::size_t r = r0; r < r1; ++r) {
                for (std::size_t i = 0; i < n; ++i) count[i] += !std::isnan(matrix(r, setup.missing[i]));
            }
        });
    });
    std::vector<std::size_t> total(n, 0);
    for (const auto& count : partial)
        for (std::size_t i = 0; i < n; ++i) total[i] += count[i];
    return total;
}

struct KeyRow {
    std::uint64_t key;
    std::uint32_t row;
    bool operator<(const KeyRow& o) const noexcept { return key != o.key ? key < o.key : row < o.row; }
};

// The rows a pair with a fixed key per row loses in its first `count` passes.
// MAX, MIN and GM with a constant reference take their `count` first rows of
// one fixed order, so a selection does; `in_order` additionally sorts them into
// pass order. GM with references that vary asks its candidates kept in order.
std::vector<std::uint32_t> fixed_key_choices(const DataMatrix& matrix, Pair pair, Order order, std::size_t count,
                                             const std::vector<double>& references, std::optional<double> centre,
                                             bool in_order) {
    std::vector<std::uint32_t> out;
    if (count == 0) return out;
    out.reserve(count);
    const std::size_t rows = matrix.rows();
    if (order == Order::nearest && !centre) {
        std::vector<OrderedCandidates::Entry> entries;
        entries.reserve(rows);
        for (std::size_t r = 0; r < rows; ++r)
            if (!std::isnan(matrix(r, pair.missing)))
                entries.push_back({matrix(r, pair.predictor), std::uint32_t(r)});
        OrderedCandidates cand(entries);
        entries = {};
        for (std::size_t t = 0; t < count; ++t) {
            if ((t & 1023) == 0) interrupt_point(1024 * 8);
            const std::size_t i = cand.nearest(references[t]);
            out.push_back(cand.row(i));
            cand.erase(i);
        }
        return out;
    }
    const double c = centre.value_or(0.0);
    std::vector<KeyRow> items;
    items.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r)
        if (!std::isnan(matrix(r, pair.missing)))
            items.push_back({ordered_key(order, matrix(r, pair.predictor), c), std::uint32_t(r)});
    if (count > items.size()) panic_index(count, items.size());
    std::nth_element(items.begin(), items.begin() + std::ptrdiff_t(count - 1), items.end());
    if (in_order) std::sort(items.begin(), items.begin() + std::ptrdiff_t(count));
    for (std::size_t t = 0; t < count; ++t) out.push_back(items[t].row);
    return out;
}

// A pair keyed by column 0 while another pair removes cells of column 0: `taken`
// is that pair's rows in pass order. A row's key becomes the NaN that removal
// writes from the pass after it was taken on. A GM pair with a constant
// reference has `centre` and no references: the -0 a zero mean may come back
// as is at the same distance from every key as +0.
std::vector<std::uint32_t> changing_key_choices(const DataMatrix& matrix, Pair pair, Order order, std::size_t count,
                                                const std::vector<double>& references, std::optional<double> centre,
                                                const std::vector<std::uint32_t>& taken) {
    std::vector<std::uint32_t> out;
    if (count == 0) return out;
    out.reserve(count);
    const std::size_t rows = matrix.rows();
    // Only conversions before this pair's last pass can matter.
    const std::size_t switches = std::min(taken.size(), count - 1);

    enum : std::uint8_t { kCandidate = 1, kSwitches = 2 };
    std::vector<std::uint8_t> state(rows, 0);
    for (std::size_t r = 0; r < rows; ++r)
        if (!std::isnan(matrix(r, pair.missing))) state[r] = kCandidate;
    std::size_t switching = 0;
    for (std::size_t t = 0; t < switches; ++t)
        if (state[taken[t]] & kCandidate) state[taken[t]] |= kSwitches, ++switching;
    // In row order, which lets the sort keep equal keys in row order for free.
    std::vector<OrderedCandidates::Entry> entries;
    entries.reserve(rows + switching);
    const double nan = missing_nan();
    for (std::size_t r = 0; r < rows; ++r) {
        if (!(state[r] & kCandidate)) continue;
        entries.push_back({matrix(r, pair.predictor), std::uint32_t(r)});
        if (state[r] & kSwitches) entries.push_back({nan, std::uint32_t(r)});
    }
    OrderedCandidates cand(entries);
    entries = {};

    // A switching row was a candidate of the other pair, so its first key is a
    // number and its second one the NaN.
    std::vector<std::uint32_t> now(rows), later(rows);
    for (std::size_t i = 0; i < cand.size(); ++i) {
        const std::uint32_t r = cand.row(i);
        if ((state[r] & kSwitches) && std::isnan(cand.key(i))) {
            later[r] = std::uint32_t(i);
            cand.erase(i);
        } else {
            now[r] = std::uint32_t(i);
        }
    }
    for (std::size_t t = 0; t < count; ++t) {
        if ((t & 1023) == 0) interrupt_point(1024 * 8);
        if (t >= 1 && t - 1 < switches) {
            const std::uint32_t r = taken[t - 1];
            if ((state[r] & kSwitches) && cand.active(now[r])) {
                cand.erase(now[r]);
                cand.insert(later[r]);
            }
        }
        const std::size_t i = order == Order::nearest     ? cand.nearest(centre ? *centre : references[t])
                              : order == Order::ascending ? cand.smallest()
                                                          : cand.largest();
        out.push_back(cand.row(i));
        cand.erase(i);
    }
    return out;
}

}  // namespace

Outcome<void> run_passes_fast(DataMatrix& matrix, const Setup& setup, std::size_t target, Rng& rng, Pool& pool) {
    const std::size_t n = setup.pairs.size(), rows = matrix.rows();
    // Which pair owns each missing column.
    std::vector<std::size_t> owner(matrix.cols(), kNone);
    for (std::size_t i = 0; i < n; ++i) owner[setup.pairs[i].missing] = i;
    // A pair's keys change when its predictor is another pair's missing column.
    auto changing = [&](std::size_t i) {
        const Pair p = setup.pairs[i];
        return p.predictor != p.missing && owner[p.predictor] != kNone;
    };
    bool supported = rows < (std::size_t{1} << 31);
    std::vector<bool> provides(n, false);
    for (std::size_t i = 0; i < n && supported; ++i)
        if (changing(i)) {
            const std::size_t j = owner[setup.pairs[i].predictor];
            // Predictors are observed columns or column 0, so the owner of a
            // changing pair's predictor has fixed keys; anything else is left to
            // the scanning passes.
            if (changing(j)) supported = false;
            provides[j] = true;
        }
    if (!supported) return run_passes(matrix, setup, target, rng, pool);

    const PassPlan schedule = plan(setup, candidate_counts(matrix, setup, pool), target, rng, pool);
    // The plan has made every draw the scanning passes would make up to the
    // failing one: nothing is left to choose.
    if (schedule.nan_reference) return nan_sample();

    std::vector<std::vector<std::uint32_t>> chosen(n);
    pool.run_chunks(n, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            if (!changing(i))
                chosen[i] = fixed_key_choices(matrix, setup.pairs[i], setup.order, schedule.takes[i],
                                              schedule.references[i], constant_reference(setup, setup.pairs[i]),
                                              provides[i]);
    });
    pool.run_chunks(n, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            if (changing(i))
                chosen[i] = changing_key_choices(matrix, setup.pairs[i], setup.order, schedule.takes[i],
                                                 schedule.references[i], constant_reference(setup, setup.pairs[i]),
                                                 chosen[owner[setup.pairs[i].predictor]]);
    });
    // Written only now: the changing pairs read column 0 as it was.
    const double nan = missing_nan();
    pool.run_chunks(n, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            for (std::uint32_t r : chosen[i]) matrix(r, setup.pairs[i].missing) = nan;
    });
    return {};
}

}  // namespace porosa::mar
