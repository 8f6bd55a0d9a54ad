// Plans with their draws made on a pool against plans drawn one by one: the
// same takes, references and failure to the bit, and the generator left at
// the same place.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/pool.hpp"
#include "generators/common/pass_plan.hpp"
#include "harness.hpp"

using namespace porosa;

namespace {

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Units with random counts (some empty), draw kinds and distributions; a NaN
// parameter now and then, so that runs are cut where a NaN counts.
void compare_plans(std::uint64_t seed, Pool& pool) {
    Rng maker = rng_from_u64(seed);
    const std::size_t n = 1 + maker.index_below(9);
    std::vector<std::size_t> counts(n);
    std::vector<Gauss> dists(n);
    std::vector<Draw> draws(n);
    std::size_t total = 0;
    for (std::size_t u = 0; u < n; ++u) {
        counts[u] = maker.index_below(5) == 0 ? 0 : maker.index_below(3000);
        total += counts[u];
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const bool broken = maker.index_below(seed % 3 == 0 ? 6 : 60) == 0;
        dists[u] = Gauss{broken ? nan : maker.uniform_float() * 4.0 - 2.0, maker.uniform_float()};
        draws[u] = broken ? Draw::keep : Draw(maker.index_below(3));
        if (draws[u] == Draw::skip) dists[u].scale = 0.0;
    }
    const std::size_t target = maker.index_below(total + 50);
    const Offer offer = seed % 2 ? Offer::prefix : Offer::sampled;
    Rng a = rng_from_u64(seed * 31), b = a;
    // Unrelated words first, so that runs start anywhere in a block.
    for (std::uint64_t k = maker.index_below(40); k > 0; --k) a.next_u32(), b.next_u32();
    const PassPlan one = plan_passes(a, target, counts, offer, dists, draws);
    const PassPlan many = plan_passes(b, target, counts, offer, dists, draws, &pool, 1 + maker.index_below(200));
    ASSERT_TRUE(one.takes == many.takes);
    EXPECT_EQ(one.nan_reference, many.nan_reference);
    for (std::size_t u = 0; u < n; ++u) ASSERT_TRUE(same_bits(one.references[u], many.references[u]));
    EXPECT_EQ(a.words_used(), b.words_used());
    EXPECT_EQ(a.next_u64(), b.next_u64());
}

}  // namespace

TEST(pass_plan, draws_on_a_pool_match_draws_one_by_one) {
    Pool two(2), three(3);
    for (std::uint64_t seed = 1; seed <= 400; ++seed) compare_plans(seed, seed % 2 ? two : three);
}
