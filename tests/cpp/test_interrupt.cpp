#include <atomic>
#include <chrono>
#include <thread>

#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "core/pool.hpp"
#include "harness.hpp"

using porosa::Pool;
using Clock = std::chrono::steady_clock;

namespace {

// Asks to stop on its `fire_at`-th call.
struct CountingHook {
    int calls = 0;
    int fire_at;
    static bool call(void* self) {
        auto* h = static_cast<CountingHook*>(self);
        return ++h->calls >= h->fire_at;
    }
};

// Spins until `limit` has passed or the chunk is stopped, calling the
// interrupt point as a long loop would.
void spin(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) porosa::interrupt_point();
}

}  // namespace

TEST(interrupt, hook_cancels_a_long_step_on_every_thread) {
    for (std::size_t threads : {1u, 3u}) {
        Pool pool(threads);
        std::atomic<int> started{0}, running{0}, cancelled{0};
        CountingHook hook{0, 3};
        bool interrupted = false;
        int running_after = -1;
        {
            porosa::InterruptHook scope(&CountingHook::call, &hook);
            try {
                // Uninterrupted, this step takes 8 chunks x 20 s / threads: a
                // chunk that ran to its end would have missed its stop by far
                // more than a busy machine can delay one.
                pool.run_chunks(8, 1, [&](std::size_t, std::size_t) {
                    started++;
                    running++;
                    try {
                        spin(std::chrono::seconds(20));
                    } catch (const porosa::Cancelled&) {
                        cancelled++;
                        running--;
                        throw;
                    } catch (const porosa::Interrupted&) {
                        running--;
                        throw;
                    }
                    running--;
                });
            } catch (const porosa::Interrupted&) {
                interrupted = true;
                running_after = running.load();
            }
        }
        EXPECT_TRUE(interrupted);
        EXPECT_EQ(hook.calls, 3);
        // Every thread started one chunk at most, none is still running, and
        // the workers' chunks were stopped rather than spun out.
        EXPECT_EQ(running_after, 0);
        EXPECT_TRUE(started.load() <= int(threads));
        EXPECT_EQ(cancelled.load(), started.load() - 1);
        // Outside the hook's scope nothing interrupts, and the pool works on.
        porosa::interrupt_check();
        std::atomic<int> n{0};
        pool.run(1000, [&](std::size_t) { n++; });
        EXPECT_EQ(n.load(), 1000);
    }
}

// A worker fails while the calling thread's hook is deciding to stop: the
// caller gets the interruption, whose reason the hook has already recorded.
TEST(interrupt, interruption_outranks_a_worker_failure) {
    struct Race {
        std::atomic<bool> in_hook{false}, worker_threw{false};
        static bool call(void* self) {
            auto* r = static_cast<Race*>(self);
            r->in_hook = true;
            while (!r->worker_threw) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // lets the pool record the failure
            return true;
        }
    } race;
    Pool pool(2);
    const auto caller = std::this_thread::get_id();
    bool interrupted = false;
    {
        porosa::InterruptHook scope(&Race::call, &race);
        try {
            pool.run_chunks(2, 1, [&](std::size_t, std::size_t) {
                if (std::this_thread::get_id() == caller) {
                    spin(std::chrono::seconds(20));
                    return;
                }
                const auto give_up = Clock::now() + std::chrono::seconds(60);  // a hang guard
                while (!race.in_hook && Clock::now() < give_up) std::this_thread::yield();
                race.worker_threw = true;
                throw porosa::Panic("late failure");
            });
        } catch (const porosa::Interrupted&) {
            interrupted = true;
        } catch (const porosa::Panic&) {
        }
    }
    EXPECT_TRUE(interrupted);
}
