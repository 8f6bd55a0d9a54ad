// The pool in a child forked while steps run: nothing waits for the workers
// the child does not have, and new steps run in full.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/fork_watch.hpp"
#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "core/pool.hpp"
#include "harness.hpp"

using porosa::Pool;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// ThreadSanitizer ends a child that starts threads after a multithreaded fork.
#if defined(__SANITIZE_THREAD__)
constexpr bool kCanForkHere = false;
#else
constexpr bool kCanForkHere = true;
#endif

// The child's exit codes.
enum : int { kPanicked = 10, kInterrupted = 11, kFinished = 12, kOther = 13, kNewStepBroken = 14 };

// Ends the child: `code`, unless a new step fails to run every index once.
[[noreturn]] void exit_child(Pool& pool, int code) {
    std::vector<std::atomic<int>> hits(1000);
    pool.run(hits.size(), [&](std::size_t i) { hits[i]++; });
    for (auto& h : hits)
        if (h.load() != 1) _exit(kNewStepBroken);
    _exit(code);
}

// The child's exit code, or -1 when it is still running after `limit` (then killed).
int wait_child(pid_t pid, std::chrono::seconds limit) {
    int status = 0;
    for (const auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(5ms))
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

void spin(std::chrono::milliseconds limit) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) porosa::interrupt_point();
}

enum class ForkIn { chunk, hook_going_on, hook_stopping };

struct ForkingHook {
    pid_t child = -1;
    bool stop_in_child;
    static bool call(void* self) {
        auto* h = static_cast<ForkingHook*>(self);
        if (h->child < 0) h->child = fork();
        return h->child == 0 && h->stop_in_child;
    }
};

}  // namespace

TEST(pool_fork, a_step_the_caller_forks_in_fails_at_once_in_the_child) {
    if (!kCanForkHere) return;
    for (std::size_t threads : {2u, 4u}) {
        for (ForkIn where : {ForkIn::chunk, ForkIn::hook_going_on, ForkIn::hook_stopping}) {
            Pool pool(threads);
            pool.run(100, [](std::size_t) {});
            const auto caller = std::this_thread::get_id();
            ForkingHook hook{-1, where == ForkIn::hook_stopping};
            std::atomic<int> ran{0};
            int code = kFinished;
            try {
                std::optional<porosa::InterruptHook> scope;
                if (where != ForkIn::chunk) scope.emplace(&ForkingHook::call, &hook);
                // Uninterrupted: 200 chunks of 2 ms, so workers hold chunks at the fork.
                pool.run_chunks(200, 1, [&](std::size_t, std::size_t) {
                    if (where == ForkIn::chunk && hook.child < 0 && std::this_thread::get_id() == caller)
                        hook.child = fork();
                    spin(2ms);
                    ran++;
                });
            } catch (const porosa::Panic& e) {
                code = std::string(e.what()) == porosa::kForkedDuringCall ? kPanicked : kOther;
            } catch (const porosa::Interrupted&) {
                code = kInterrupted;
            } catch (...) {
                code = kOther;
            }
            if (hook.child == 0) exit_child(pool, code);
            EXPECT_EQ(code, kFinished);  // the parent's step is not disturbed
            EXPECT_EQ(ran.load(), 200);
            ASSERT_TRUE(hook.child > 0);
            EXPECT_EQ(wait_child(hook.child, 20s), where == ForkIn::hook_stopping ? kInterrupted : kPanicked);
        }
    }
}

// Forks from one thread while another runs step after step: the child's copy of
// the pool must be whole and unlocked whatever the workers were doing (about a
// quarter of these children hang when the pool's lock is not held across).
TEST(pool_fork, children_forked_while_steps_run_run_steps) {
    if (!kCanForkHere) return;
    Pool pool(3);
    std::atomic<bool> stop{false};
    std::atomic<long> steps{0};
    std::thread caller([&] {
        while (!stop.load()) {
            pool.run(64, [](std::size_t) {});
            steps++;
        }
    });
    for (int k = 0; k < 100; ++k) {
        const pid_t pid = fork();
        if (pid == 0) exit_child(pool, 0);
        EXPECT_EQ(wait_child(pid, 20s), 0);
    }
    stop = true;
    caller.join();
    EXPECT_TRUE(steps.load() > 0);
}
