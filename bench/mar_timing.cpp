// Timing of whole MAR removals on Gaussian data, next to a plain sort of every
// column for scale. Not part of the build; from the checkout root:
//   g++ -O3 -std=c++20 -ffp-contract=off -Isrc bench/mar_timing.cpp <build dir>/libporosa_core.a -lpthread
//   ./a.out [rows=1000000] [cols=20] [rate=0.3] [scan=0]
// scan=1 times the scanning passes instead (quadratic: keep the rows small).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/pool.hpp"
#include "generators/mar/correlation.hpp"
#include "generators/mar/removal.hpp"
#include "generators/utils/distribution.hpp"

using namespace porosa;
using Clock = std::chrono::steady_clock;

static double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::stoul(argv[1]) : 1000000, cols = argc > 2 ? std::stoul(argv[2]) : 20;
    const double rate = argc > 3 ? std::stod(argv[3]) : 0.3;
    const bool scan = argc > 4 && std::stoi(argv[4]) != 0;
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
    {
        Rng rng = rng_from_u64(7);
        const std::vector<std::size_t> order = mar::shuffle_columns(cols, rng);
        const std::size_t n = mar::missing_column_count(cols, rate, 0.8);
        t = Clock::now();
        mar::best_predictors(base, std::span(order).first(n), std::span(order).subspan(n), pool);
        std::printf("best_predictors, %zu missing columns: %.3f s\n", n, since(t));
    }
    t = Clock::now();
    get_distribution(0.5, 0.1, base);
    std::printf("get_distribution: %.3f s\n", since(t));

    for (Kind kind : {Kind::MAX, Kind::MIN, Kind::GM}) {
        Mode mode;
        mode.kind = kind;
        mode.mean = 0.5;
        mode.variance = 0.1;
        DataMatrix m = base;
        Rng rng = rng_from_u64(7);
        const std::size_t target = target_count(rows, cols, rate);
        t = Clock::now();
        const auto done = scan ? mar::run_removal(mode, 0.8, rng, m, rate, target, pool)
                               : mar::run_removal_fast(mode, 0.8, rng, m, rate, target, pool);
        if (!done) std::printf("failed: %s\n", done.error().message.c_str());
        const double took = since(t);
        std::size_t missing = 0;
        for (double x : m.storage()) missing += std::isnan(x);
        const std::string name(kind_name(kind));
        std::printf("MAR %s: %.3f s, %zu cells removed\n", name.c_str(), took, missing);
    }
}
