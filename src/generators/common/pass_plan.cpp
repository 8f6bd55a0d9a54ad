#include "generators/common/pass_plan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>

#include "core/interrupt.hpp"

namespace porosa {

std::vector<std::size_t> reservoir_sample(Rng& rng, std::size_t n, std::size_t k) {
    std::vector<std::size_t> reservoir(k);
    std::iota(reservoir.begin(), reservoir.end(), std::size_t{0});
    for (std::size_t i = k; i < n; ++i) {
        std::size_t s = rng.index_below(i + 1);
        if (s < k) reservoir[s] = i;
    }
    return reservoir;
}

namespace {

// A sample's words when its first uniform is not redrawn: two per uniform.
constexpr std::size_t kWordsPerDraw = 4;

class Planner {
public:
    Planner(std::vector<std::size_t> counts, std::span<const Gauss> dists, std::span<const Draw> draws, Pool* pool,
            std::size_t parallel_from)
        : n_(counts.size()), counts_(std::move(counts)), dists_(dists), draws_(draws), took_(n_), pool_(pool),
          parallel_from_(parallel_from) {
        plan_.takes.assign(n_, 0);
        plan_.references.resize(n_);
        for (std::size_t c : counts_) total_ += c;
    }

    PassPlan run(Rng& rng, std::size_t target, Offer offer) {
        reserve(target);
        std::size_t removed = 0;
        bool one_by_one = false;
        while (removed < target) {
            interrupt_point(n_);
            const std::size_t rem = target - removed;
            if (dists_.empty() && rem >= n_) {
                const std::size_t taken = bulk(rem);
                if (taken == 0) break;
                removed += taken;
                continue;
            }
            if (pool_ && !dists_.empty() && rem >= n_ && !one_by_one) {
                const std::size_t taken = drawn_run(rng, rem);
                // A run cut short stopped at a pass that is made as usual.
                one_by_one = taken == 0 || cut_;
                if (taken > 0) {
                    removed += taken;
                    continue;
                }
            }
            one_by_one = false;
            const bool all = offer == Offer::prefix || rem >= n_;
            if (!all) picked_ = reservoir_sample(rng, n_, rem);
            const std::size_t yielded = pass(rng, all, all ? std::min(n_, rem) : picked_.size());
            if (plan_.nan_reference) break;
            if (yielded == 0) {
                // A prefix pass that yields nothing would yield nothing again.
                // A sampled one can miss the units that still have candidates;
                // only an exhausted call ends there.
                if (offer == Offer::prefix || total_ == 0) break;
                continue;
            }
            removed += yielded;
            total_ -= yielded;
        }
        return std::move(plan_);
    }

private:
    // Room for an even share of the target, which is what a unit gets unless
    // others run out first.
    void reserve(std::size_t target) {
        std::size_t live = 0;
        for (std::size_t c : counts_) live += c > 0;
        const std::size_t share = target / std::max<std::size_t>(live, 1) + 1;
        for (std::size_t u = 0; u < n_ && !draws_.empty(); ++u)
            if (keeps_reference(draws_[u])) plan_.references[u].reserve(std::min(counts_[u], share));
    }

    // A run of passes that offer every unit: until a unit runs out or the
    // target comes within n. Active units take a cell in each of its passes.
    struct Run {
        std::size_t active = 0, passes = 0;
    };
    Run full_run(std::size_t rem) const {
        Run run;
        std::size_t shortest = static_cast<std::size_t>(-1);
        for (std::size_t c : counts_)
            if (c > 0) ++run.active, shortest = std::min(shortest, c);
        if (run.active > 0) run.passes = std::min(shortest, (rem - n_) / run.active + 1);
        return run;
    }

    // Without draws, a full run is one step. Returns the cells taken.
    std::size_t bulk(std::size_t rem) {
        const auto [active, passes] = full_run(rem);
        if (active == 0) return 0;
        for (std::size_t u = 0; u < n_; ++u)
            if (counts_[u] > 0) counts_[u] -= passes, plan_.takes[u] += passes;
        total_ -= passes * active;
        return passes * active;
    }

    // Passes offering every unit while none runs out and the target stays n
    // or more away, their draws made on the pool. Returns the cells taken,
    // 0 when the run is too short to be worth it or is cut at its first pass.
    std::size_t drawn_run(Rng& rng, std::size_t rem) {
        cut_ = false;
        const auto [active, passes] = full_run(rem);
        if (active == 0) return 0;
        if (passes * n_ < std::max<std::size_t>(parallel_from_, 1)) return 0;

        std::vector<std::size_t> base(n_);
        for (std::size_t u = 0; u < n_; ++u) {
            base[u] = plan_.references[u].size();
            if (counts_[u] > 0 && keeps_reference(draws_[u])) plan_.references[u].resize(base[u] + passes);
        }
        const std::size_t stop = draw_on_pool(rng, passes, base);
        cut_ = stop < passes;
        for (std::size_t u = 0; u < n_; ++u) {
            if (counts_[u] == 0) continue;
            counts_[u] -= stop, plan_.takes[u] += stop;
            if (keeps_reference(draws_[u])) plan_.references[u].resize(base[u] + stop);
        }
        rng.discard(kWordsPerDraw * n_ * stop);
        total_ -= stop * active;
        return stop * active;
    }

    // The draws of `passes` passes from the generator's position on, in
    // pieces on the pool, each from its own words of the stream. Returns the
    // first pass that cannot be made from those words (a redrawn first
    // uniform) or that fails (a NaN that counts); `passes` when none.
    std::size_t draw_on_pool(const Rng& rng, std::size_t passes, const std::vector<std::size_t>& base) {
        const std::uint64_t start = rng.words_used();
        const std::size_t per_piece = std::max<std::size_t>(1, 4096 / n_);
        const std::size_t pieces = (passes + per_piece - 1) / per_piece;
        std::vector<std::size_t> stops(pieces, passes);
        pool_->run_chunks(pieces, 1, [&](std::size_t b, std::size_t e) {
            std::vector<std::uint32_t> words;
            for (std::size_t piece = b; piece < e; ++piece) {
                const std::size_t p0 = piece * per_piece, p1 = std::min(passes, p0 + per_piece);
                const std::uint64_t first = start + kWordsPerDraw * n_ * p0;
                const std::size_t skip = std::size_t(first % 16), count = kWordsPerDraw * n_ * (p1 - p0);
                words.resize((skip + count + 15) / 16 * 16);
                chacha12_keystream(rng.key(), first / 16, words);
                const std::size_t stop = draw_piece(words.data() + skip, p0, p1, base);
                if (stop < p1) {
                    stops[piece] = stop;
                    break;
                }
            }
        });
        return *std::min_element(stops.begin(), stops.end());
    }

    // Passes [p0, p1) from their words, four per draw: the first pass that
    // stops the run, or p1.
    std::size_t draw_piece(const std::uint32_t* w, std::size_t p0, std::size_t p1,
                           const std::vector<std::size_t>& base) {
        auto uniform = [](const std::uint32_t* at) { return Rng::uniform_from(Rng::double_word(at[0], at[1])); };
        for (std::size_t p = p0; p < p1; ++p) {
            bool stop = false;
            for (std::size_t u = 0; u < n_; ++u, w += kWordsPerDraw) {
                const GaussUniforms g{uniform(w), uniform(w + 2)};
                stop |= !accepted_first_uniform(g.u1);
                const std::optional<double> v = settle(u, g, counts_[u] > 0);
                if (v && std::isnan(*v)) stop = true;
                if (v && keeps_reference(draws_[u])) plan_.references[u][base[u] + p] = *v;
            }
            if (stop) return p;
        }
        return p1;
    }

    // One pass: every unit of the offer list draws in list order, and the
    // first `offered` of them take a cell where they have one. A NaN
    // reference undoes the pass, which fails before it removes anything.
    std::size_t pass(Rng& rng, bool all, std::size_t offered) {
        const std::size_t listed = all ? n_ : picked_.size();
        std::size_t yielded = 0;
        bool nan = false;
        for (std::size_t i = 0; i < listed; ++i) {
            const std::size_t u = all ? i : picked_[i];
            const bool takes = i < offered && counts_[u] > 0;
            if (i < offered) took_[i] = takes;
            if (!dists_.empty()) nan |= draw(rng, u, takes);
            if (takes) --counts_[u], ++plan_.takes[u], ++yielded;
        }
        if (!nan) return yielded;
        for (std::size_t i = 0; i < offered; ++i) {
            const std::size_t u = all ? i : picked_[i];
            if (!took_[i]) continue;
            ++counts_[u], --plan_.takes[u];
            if (keeps_reference(draws_[u])) plan_.references[u].pop_back();
        }
        plan_.nan_reference = true;
        return 0;
    }

    // Unit u's draw of the pass; true for a NaN that counts.
    bool draw(Rng& rng, std::size_t u, bool takes) {
        const std::optional<double> v = settle(u, draw_uniforms(rng), takes);
        if (v && keeps_reference(draws_[u])) plan_.references[u].push_back(*v);
        return v && std::isnan(*v);
    }

    // Unit u's sample from its uniforms when it matters: computed, and the
    // unit takes a cell in the pass. (Called from pool threads too.)
    std::optional<double> settle(std::size_t u, GaussUniforms g, bool takes) const {
        if (!takes || draws_[u] == Draw::skip) return std::nullopt;
        return dists_[u].from_uniforms(g);
    }

    std::size_t n_;
    std::vector<std::size_t> counts_;
    std::span<const Gauss> dists_;
    std::span<const Draw> draws_;
    std::vector<char> took_;
    std::vector<std::size_t> picked_;
    std::size_t total_ = 0;
    PassPlan plan_;
    Pool* pool_;
    std::size_t parallel_from_;
    bool cut_ = false;  // the last drawn run stopped before its end
};

}  // namespace

PassPlan plan_passes(Rng& rng, std::size_t target, std::vector<std::size_t> counts, Offer offer,
                     std::span<const Gauss> dists, std::span<const Draw> draws, Pool* pool,
                     std::size_t parallel_from) {
    return Planner(std::move(counts), dists, draws, pool, parallel_from).run(rng, target, offer);
}

}  // namespace porosa
