// Timing of MNAR BLOCK removals on data that already holds scattered NaN, next
// to the time it takes to draw the same generator words one at a time. Not part
// of the build; from the checkout root:
//   g++ -O3 -std=c++20 -ffp-contract=off -Isrc -Itests/cpp bench/block_timing.cpp \
//       <build dir>/libporosa_core.a -lpthread
//   ./a.out [literal=0]                           three shapes with NaN, and one without
//   ./a.out literal rows cols nan_share rate      one shape
// literal=1 times the plain cell-by-cell passes instead (minutes per shape).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "generators/common/mask.hpp"
#include "generators/mnar/mnar.hpp"
#include "generators/mnar/removal.hpp"
#include "seams.hpp"

using namespace porosa;
using Clock = std::chrono::steady_clock;

static double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

static bool same_stream(Rng a, Rng b) {
    for (int i = 0; i < 4; ++i) {
        if (a.next_u64() != b.next_u64()) return false;
    }
    return true;
}

static void run(bool literal, std::size_t rows, std::size_t cols, double nan_share, double rate) {
    Rng source = rng_from_u64(1);
    DataMatrix m(rows, cols);
    for (double& x : m.storage()) {
        x = source.uniform_float();
        if (source.uniform_float() < nan_share) x = missing_nan();
    }
    Mode mode;
    mode.kind = Kind::BLOCK;
    Rng rng = rng_from_u64(7);
    const std::array<std::size_t, 2> shape{rows, cols};
    const std::vector<std::size_t> prot = fix(shape, rng, mode);
    const Rng start = rng;
    const std::size_t target = target_count(rows, cols, rate);

    mnar::BlockStats stats;
    mnar::BlockTuning tuning;
    tuning.stats = &stats;
    auto t = Clock::now();
    if (literal) {
        mnar::drop_blocks_literal(m, prot, rng, mode.block_size, target);
    } else {
        mnar::drop_blocks(m, prot, rng, mode.block_size, target, tuning);
    }
    const double took = since(t);
    std::size_t missing = 0;
    for (double x : m.storage()) missing += std::isnan(x);
    // A digest of where the generator was left, to compare runs of different builds.
    Rng probe = rng;
    std::uint64_t digest = 0;
    for (int i = 0; i < 4; ++i) digest ^= probe.next_u64() * std::uint64_t(i + 1);
    std::printf("%zu x %zu, %g NaN, rate %g: %.3f s, %zu cells missing after, stream %016llx\n", rows, cols,
                nan_share, rate, took, missing, static_cast<unsigned long long>(digest));
    if (literal) return;

    // Four draws a rectangle, and now and then one more word for a draw whose
    // first word lands in the rejection zone: draw the bulk, then step to the
    // point where the call left the generator.
    Rng again = start;
    std::size_t words = stats.drawn * 4 > 64 ? stats.drawn * 4 - 64 : 0;
    t = Clock::now();
    std::uint32_t sink = 0;
    for (std::size_t i = 0; i < words; ++i) sink ^= again.next_u32();
    const double took_words = since(t);
    while (!same_stream(again, rng)) sink ^= again.next_u32(), ++words;
    std::printf("  %zu rectangles (%.1f M/s, %.1f ns each), %zu looked up, tables %s\n", stats.drawn,
                stats.drawn / took * 1e-6, took / double(stats.drawn) * 1e9, stats.looked_at,
                stats.tables_built ? "built" : "not built");
    std::printf("  %zu words; drawing them one next_u32 at a time: %.3f s (call / words %.2f) [%x]\n", words,
                took_words, took / took_words, sink & 1);
}

int main(int argc, char** argv) {
    const bool literal = argc > 1 && std::stoi(argv[1]) != 0;
    if (argc > 5) {
        run(literal, std::stoul(argv[2]), std::stoul(argv[3]), std::stod(argv[4]), std::stod(argv[5]));
        return 0;
    }
    run(literal, 100000, 20, 0.05, 0.2);
    run(literal, 100000, 20, 0.10, 0.2);
    run(literal, 20000, 20, 0.40, 0.3);
    run(literal, 100000, 20, 0.0, 0.2);
}
