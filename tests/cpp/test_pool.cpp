#include <atomic>
#include <stdexcept>
#include <vector>

#include "core/panic.hpp"
#include "core/pool.hpp"
#include "harness.hpp"

using porosa::Pool;

TEST(pool, every_index_runs_once) {
    for (std::size_t threads : {1u, 2u, 8u}) {
        Pool pool(threads);
        std::vector<std::atomic<int>> hits(10007);
        pool.run(hits.size(), [&](std::size_t i) { hits[i].fetch_add(1); });
        for (auto& h : hits) EXPECT_EQ(h.load(), 1);
    }
}

TEST(pool, nested_steps_finish_with_any_size) {
    for (std::size_t threads : {1u, 2u, 3u}) {
        Pool pool(threads);
        std::atomic<long> sum{0};
        pool.run(16, [&](std::size_t i) {
            pool.run(100, [&](std::size_t j) {
                pool.run(3, [&](std::size_t k) { sum += long(i * 1000 + j * 3 + k); });
            });
        });
        long want = 0;
        for (long i = 0; i < 16; ++i)
            for (long j = 0; j < 100; ++j)
                for (long k = 0; k < 3; ++k) want += i * 1000 + j * 3 + k;
        EXPECT_EQ(sum.load(), want);
    }
}

TEST(pool, exception_reaches_caller_after_step_stops) {
    Pool pool(4);
    std::atomic<int> running{0}, max_after{0};
    bool caught = false;
    try {
        pool.run_chunks(1000, 1, [&](std::size_t b, std::size_t) {
            running++;
            if (b == 17) {
                running--;
                throw porosa::Panic("boom");
            }
            running--;
        });
    } catch (const porosa::Panic& e) {
        caught = std::string(e.what()) == "boom";
        max_after = running.load();
    }
    EXPECT_TRUE(caught);
    EXPECT_EQ(max_after.load(), 0);
    // The pool keeps working afterwards.
    std::atomic<int> n{0};
    pool.run(100, [&](std::size_t) { n++; });
    EXPECT_EQ(n.load(), 100);
}

TEST(pool, many_callers_at_once) {
    Pool pool(3);
    std::vector<std::thread> callers;
    std::atomic<long> total{0};
    for (int t = 0; t < 8; ++t)
        callers.emplace_back([&] {
            for (int rep = 0; rep < 50; ++rep)
                pool.run(200, [&](std::size_t i) {
                    pool.run(4, [&](std::size_t) { total += long(i); });
                });
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(total.load(), 8L * 50 * 4 * (199 * 200 / 2));
}
