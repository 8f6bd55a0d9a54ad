#include "generators/common/pass_plan.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

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

// The values the plan keeps of one draw.
std::size_t kept_per_draw(Draw d) noexcept { return d == Draw::defer ? 2 : d == Draw::keep ? 1 : 0; }

class Planner {
public:
    Planner(std::vector<std::size_t> counts, std::span<const Gauss> dists, std::span<const Draw> draws)
        : n_(counts.size()), counts_(std::move(counts)), dists_(dists), draws_(draws), took_(n_) {
        plan_.takes.assign(n_, 0);
        plan_.references.resize(n_);
        for (std::size_t c : counts_) total_ += c;
    }

    PassPlan run(Rng& rng, std::size_t target, Offer offer) {
        reserve(target);
        std::size_t removed = 0;
        while (removed < target) {
            interrupt_point(n_);
            const std::size_t rem = target - removed;
            if (dists_.empty() && rem >= n_) {
                const std::size_t taken = bulk(rem);
                if (taken == 0) break;
                removed += taken;
                continue;
            }
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
            plan_.references[u].reserve(kept_per_draw(draws_[u]) * std::min(counts_[u], share));
    }

    // Without draws, a run of passes offering every unit is one step: until a
    // unit runs out or the target comes within n. Returns the cells taken.
    std::size_t bulk(std::size_t rem) {
        std::size_t active = 0, shortest = static_cast<std::size_t>(-1);
        for (std::size_t c : counts_)
            if (c > 0) ++active, shortest = std::min(shortest, c);
        if (active == 0) return 0;
        const std::size_t passes = std::min(shortest, (rem - n_) / active + 1);
        for (std::size_t u = 0; u < n_; ++u)
            if (counts_[u] > 0) counts_[u] -= passes, plan_.takes[u] += passes;
        total_ -= passes * active;
        return passes * active;
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
            plan_.references[u].resize(plan_.references[u].size() - kept_per_draw(draws_[u]));
        }
        plan_.nan_reference = true;
        return 0;
    }

    // Unit u's draw of the pass; true for a NaN that counts.
    bool draw(Rng& rng, std::size_t u, bool takes) {
        std::vector<double>& refs = plan_.references[u];
        switch (draws_[u]) {
            case Draw::skip: (void)draw_uniforms(rng); return false;
            case Draw::defer: {
                const GaussUniforms g = draw_uniforms(rng);
                if (takes) refs.push_back(g.u1), refs.push_back(g.u2);
                return false;
            }
            case Draw::check:
            case Draw::keep: {
                const double v = dists_[u].sample(rng);
                if (takes && draws_[u] == Draw::keep) refs.push_back(v);
                return std::isnan(v) && takes;
            }
        }
        return false;
    }

    std::size_t n_;
    std::vector<std::size_t> counts_;
    std::span<const Gauss> dists_;
    std::span<const Draw> draws_;
    std::vector<char> took_;
    std::vector<std::size_t> picked_;
    std::size_t total_ = 0;
    PassPlan plan_;
};

}  // namespace

PassPlan plan_passes(Rng& rng, std::size_t target, std::vector<std::size_t> counts, Offer offer,
                     std::span<const Gauss> dists, std::span<const Draw> draws) {
    return Planner(std::move(counts), dists, draws).run(rng, target, offer);
}

}  // namespace porosa
