// The schedule of a removal's passes, settled before any cell is chosen.
//
// A pass offers a cell to some of the removal's units (MAR's pairs, MNAR's
// columns). A unit takes one whenever it is offered one and has a candidate
// left, and only its own removals use its candidates up, so which units take
// part, how many cells each pass yields, and every draw of the call follow
// from the per-unit candidate counts alone. The planner makes those draws, in
// the order the passes make them, and says how many cells each unit loses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/pool.hpp"
#include "generators/common/rng.hpp"
#include "generators/common/gauss.hpp"

namespace porosa {

// Algorithm R: k distinct indices of [0, n), k < n, in reservoir slot order.
std::vector<std::size_t> reservoir_sample(Rng& rng, std::size_t n, std::size_t k);

// The units offered a cell in a pass that has `rem` cells still to remove.
enum class Offer {
    // The first min(n, rem) units; every unit draws, offered a cell or not.
    prefix,
    // Every unit while rem >= n, else reservoir_sample(rng, n, rem), which
    // alone draw.
    sampled,
};

// What becomes of a unit's sample in a pass.
enum class Draw : std::uint8_t {
    skip,   // known to be the mean: only its words are used up
    check,  // computed; only a NaN matters, while the unit has a cell to take
    keep,   // computed, checked, and kept as the unit's reference of the pass
};

// Whether the plan keeps something of the draw for the caller.
inline bool keeps_reference(Draw d) noexcept { return d == Draw::keep; }

struct PassPlan {
    std::vector<std::size_t> takes;  // cells each unit loses
    // Per unit with Draw::keep, its reference in each pass it takes a cell.
    std::vector<std::vector<double>> references;
    // The pass after the planned ones drew a NaN reference for a unit that
    // had a cell to take: the call fails there.
    bool nan_reference = false;
};

// `counts` holds each unit's candidates. `dists` and `draws` hold one entry
// per unit, or none at all for passes without draws (MAX and MIN).
//
// With a pool, a run of passes that offer every unit and in which no unit runs
// out, at least `parallel_from` draws long, is drawn on the pool: its words lie
// at known places of the stream, four per draw, as long as no first uniform is
// redrawn. The run is cut before the first pass with such a redraw, or with a
// NaN that counts, and that pass is made the usual way, so the plan and the
// generator end exactly as without the pool.
PassPlan plan_passes(Rng& rng, std::size_t target, std::vector<std::size_t> counts, Offer offer,
                     std::span<const Gauss> dists, std::span<const Draw> draws, Pool* pool = nullptr,
                     std::size_t parallel_from = std::size_t{1} << 14);

}  // namespace porosa
