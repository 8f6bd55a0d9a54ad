// Timing of whole MNAR value-mode removals on Gaussian data, next to a plain
// sort of every column for scale. Not part of the build; from the checkout root:
//   g++ -O3 -std=c++20 -ffp-contract=off -Isrc bench/mnar_timing.cpp <build dir>/libporosa_core.a -lpthread
//   ./a.out [rows=1000000] [cols=20] [rate=0.3] [literal=0]
// literal=1 times the literal passes instead (quadratic: keep the rows small).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "core/pool.hpp"
#include "generators/mnar/mnar.hpp"
#include "generators/mnar/removal.hpp"
#include "generators/utils/distribution.hpp"

using namespace porosa;
using Clock = std::chrono::steady_clock;

static double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// CPU time of every thread of the process: steadier than wall time on a busy machine.
static double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::stoul(argv[1]) : 1000000, cols = argc > 2 ? std::stoul(argv[2]) : 20;
    const double rate = argc > 3 ? std::stod(argv[3]) : 0.3;
    const bool literal = argc > 4 && std::stoi(argv[4]) != 0;
    Rng source = rng_from_u64(1);
    DataMatrix base(rows, cols);
    const Gauss normal{0.0, 1.0};
    for (double& x : base.storage()) x = normal.sample(source);
    Pool& pool = Pool::global();
    std::printf("%zu threads, %zu x %zu, rate %g\n", pool.threads(), rows, cols, rate);

    auto t = Clock::now();
    std::vector<double> column(rows);
    for (std::size_t c = 0; c < cols; ++c) {
        for (std::size_t r = 0; r < rows; ++r) column[r] = base(r, c);
        std::sort(column.begin(), column.end());
    }
    std::printf("std::sort of every column, one thread: %.3f s\n", since(t));

    struct Case {
        const char* name;
        Kind kind;
        double mean, variance;
    };
    const Case cases[] = {{"MAX", Kind::MAX, 0.5, 0.0},
                          {"MIN", Kind::MIN, 0.5, 0.0},
                          {"GM (0.5, 0)", Kind::GM, 0.5, 0.0},
                          {"GM (0.3, 0.1)", Kind::GM, 0.3, 0.1}};
    const std::size_t target = target_count(rows, cols, rate);
    for (const Case& c : cases) {
        Mode mode;
        mode.kind = c.kind;
        mode.mean = c.mean;
        mode.variance = c.variance;
        DataMatrix m = base;
        t = Clock::now();
        const double cpu = cpu_seconds();
        if (literal) {
            Rng rng = rng_from_u64(7);
            std::vector<Gauss> dists;
            if (c.kind == Kind::GM) dists = get_distribution(c.mean, c.variance, m);
            const std::array<std::size_t, 2> shape{rows, cols};
            const std::vector<std::size_t> prot = fix(shape, rng, mode);
            if (!mnar::drop_values_literal(pool, m, prot, rng, cmp_of(require_order(mode)),
                                           c.kind == Kind::GM ? &dists : nullptr, target))
                std::printf("failed\n");
        } else if (!MNAR(mode, 0.8, rng_from_u64(7)).drop(m, rate, target)) {
            std::printf("failed\n");
        }
        const double took = since(t), took_cpu = cpu_seconds() - cpu;
        if (!literal) {
            // The steps of the call apart, on a fresh copy.
            DataMatrix again = base;
            Rng rng = rng_from_u64(7);
            t = Clock::now();
            std::vector<Gauss> dists;
            if (c.kind == Kind::GM) dists = get_distribution(c.mean, c.variance, again);
            const double took_dists = since(t);
            t = Clock::now();
            const std::array<std::size_t, 2> shape{rows, cols};
            const std::vector<std::size_t> prot = fix(shape, rng, mode);
            const double took_fix = since(t);
            t = Clock::now();
            if (!mnar::drop_values_fast(pool, again, prot, rng, require_order(mode),
                                        c.kind == Kind::GM ? &dists : nullptr, target))
                std::printf("failed\n");
            std::printf("  get_distribution %.3f s, fix %.3f s, passes %.3f s\n", took_dists, took_fix, since(t));
        }
        std::size_t missing = 0;
        for (double x : m.storage()) missing += std::isnan(x);
        std::printf("MNAR %s: %.3f s (cpu %.3f s), %zu cells removed\n", c.name, took, took_cpu, missing);
    }
}
