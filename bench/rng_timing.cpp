// Timing of the instance generator: the ChaCha12 keystream alone on each
// instruction-set path, then the draws callers make in tight loops, with the
// generator refilling through each path in turn. Not part of the build; from
// the checkout root:
//   g++ -O3 -std=c++20 -ffp-contract=off -Isrc bench/rng_timing.cpp <build dir>/libporosa_core.a
//   ./a.out [millions of words=64]
// Times are thread CPU time, the best of five runs: the machine may be busy.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "generators/common/chacha.hpp"
#include "generators/common/rng.hpp"

using namespace porosa;

namespace {

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Folding every result in keeps the compiler from dropping the loops.
volatile std::uint64_t g_sink;

template <class Body>
double best_of_five(Body body) {
    double best = 1e300;
    for (int run = 0; run < 5; ++run) {
        const double t = cpu_seconds();
        g_sink = g_sink + body();
        best = std::min(best, cpu_seconds() - t);
    }
    return best;
}

void report(const char* what, double seconds, double count, const char* unit) {
    std::printf("  %-34s %8.2f ns/%s  %9.1f M%s/s\n", what, seconds / count * 1e9, unit, count / seconds * 1e-6, unit);
}

// The draws of hot loops, through the public generator only.
void time_draws(std::size_t words) {
    const std::size_t n = words;
    report("next_u32", best_of_five([&] {
               Rng rng = rng_from_u64(1);
               std::uint64_t acc = 0;
               for (std::size_t i = 0; i < n; ++i) acc += rng.next_u32();
               return acc;
           }), double(n), "word");
    report("next_u64", best_of_five([&] {
               Rng rng = rng_from_u64(2);
               std::uint64_t acc = 0;
               for (std::size_t i = 0; i < n / 2; ++i) acc += rng.next_u64();
               return acc;
           }), double(n / 2), "draw");
    report("uniform_float", best_of_five([&] {
               Rng rng = rng_from_u64(3);
               double acc = 0;
               for (std::size_t i = 0; i < n / 2; ++i) acc += rng.uniform_float();
               return std::uint64_t(acc);
           }), double(n / 2), "draw");
    report("index_below(1000)", best_of_five([&] {
               Rng rng = rng_from_u64(4);
               std::uint64_t acc = 0;
               for (std::size_t i = 0; i < n; ++i) acc += rng.index_below(1000);
               return acc;
           }), double(n), "draw");
    // The four draws of one BLOCK rectangle on a 10^6 x 20 matrix.
    const std::size_t rects = n / 4;
    report("rectangle (4 x uniform)", best_of_five([&] {
               Rng rng = rng_from_u64(5);
               const std::size_t rows = 1000000, cols = 20;
               std::uint64_t acc = 0;
               for (std::size_t i = 0; i < rects; ++i) {
                   const std::uint64_t c0 = rng.uniform(0, cols - 1), r0 = rng.uniform(0, rows - 1);
                   const std::uint64_t w = rng.uniform(1, std::min<std::uint64_t>(cols - c0, 4));
                   const std::uint64_t h = rng.uniform(1, std::min<std::uint64_t>(rows - r0, 50000));
                   acc += c0 ^ r0 ^ w ^ h;
               }
               return acc;
           }), double(rects), "rect");
    // Generators used briefly, as BLOB makes one per blob.
    for (std::size_t used : {4, 64, 300}) {
        const std::size_t gens = std::max<std::size_t>(1, n / 64 / std::max<std::size_t>(used, 16));
        const std::string what = "new generator + " + std::to_string(used) + " words";
        report(what.c_str(), best_of_five([&] {
                   std::uint64_t acc = 0;
                   for (std::size_t g = 0; g < gens; ++g) {
                       Rng rng = rng_from_u64(g);
                       for (std::size_t i = 0; i < used; ++i) acc += rng.next_u32();
                   }
                   return acc;
               }), double(gens), "gen");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t words = (argc > 1 ? std::stoul(argv[1]) : 64) * 1000000;
    const std::array<std::uint32_t, 8> key = {1, 2, 3, 4, 5, 6, 7, 8};
    const chacha::Path paths[] = {chacha::Path::scalar, chacha::Path::avx2, chacha::Path::avx512};

    std::printf("keystream alone, %zu M words\n", words / 1000000);
    std::vector<std::uint32_t> buf(16 * 256);  // 16 KiB: stays in the first-level cache
    const std::size_t rounds = words / buf.size();
    for (chacha::Path path : paths) {
        if (!chacha::supported(path)) continue;
        const chacha::Kernel& k = chacha::kernel(path);
        report(k.name, best_of_five([&] {
                   for (std::size_t r = 0; r < rounds; ++r) k.blocks(key.data(), 256 * r, 256, buf.data());
                   return std::uint64_t(buf[7]);
               }), double(rounds * buf.size()), "word");
    }
    report("chacha12_keystream (fastest)", best_of_five([&] {
               for (std::size_t r = 0; r < rounds; ++r) chacha12_keystream(key, 256 * r, buf);
               return std::uint64_t(buf[7]);
           }), double(rounds * buf.size()), "word");
    report("Rng::fill, 16 KiB at a time", best_of_five([&] {
               Rng rng(key);
               for (std::size_t r = 0; r < rounds; ++r) rng.fill(buf);
               return std::uint64_t(buf[7]) + rng.words_used();
           }), double(rounds * buf.size()), "word");

    for (chacha::Path path : paths) {
        if (!chacha::supported(path)) continue;
        chacha::use(path);
        std::printf("draws, refilling through %s\n", chacha::kernel(path).name);
        time_draws(words);
    }
    Rng rng = rng_from_u64(5);
    for (int i = 0; i < 1000; ++i) {
        const std::uint64_t c0 = rng.uniform(0, 19), r0 = rng.uniform(0, 999999);
        rng.uniform(1, std::min<std::uint64_t>(20 - c0, 4));
        rng.uniform(1, std::min<std::uint64_t>(1000000 - r0, 50000));
    }
    std::printf("words per rectangle: %.3f\n", double(rng.words_used()) / 1000);
}
