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

enum : int { kPanicked = 10, kInterrupted = 11, kFinished = 12, kOther = 13, kNewStepBroken = 14 };

// Ends the child with `code`, once a new step has run every index once.
[[noreturn]] void exit_child(Pool& pool, int code) {
    std::vector<std::atomic<int>> hits(1000);
    pool.run(hits.size(), [&](std::size_t i) { hits[i]++; });
    for (auto& h : hits)
        if (h.load() != 1) _exit(kNewStepBroken);
    _exit(code);
}

// The child's exit code, or -1 when it still runs after `limit` (then killed):
// a hang guard, as a child ends within milliseconds.
int wait_child(pid_t pid, std::chrono::seconds limit) {
    int status = 0;
    for (const auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(5ms))
        if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

// Forks at its first call; in the child, asks to stop if `stop_in_child`.
struct ForkingHook {
    pid_t child = -1;
    bool stop_in_child = false;
    static bool call(void* self) {
        auto* h = static_cast<ForkingHook*>(self);
        if (h->child < 0) h->child = fork();
        return h->child == 0 && h->stop_in_child;
    }
};

}  // namespace

TEST(pool_fork, a_step_the_caller_forks_in_fails_at_once_in_the_child) {
    enum Where { in_chunk, in_hook, in_hook_stopping };
    for (std::size_t threads : {2u, 4u}) {
        for (Where where : {in_chunk, in_hook, in_hook_stopping}) {
            if (!kCanForkHere) return;
            Pool pool(threads);
            const auto caller = std::this_thread::get_id();
            ForkingHook hook{-1, where == in_hook_stopping};
            std::atomic<int> ran{0};
            int code = kFinished;
            try {
                std::optional<porosa::InterruptHook> scope;
                if (where != in_chunk) scope.emplace(&ForkingHook::call, &hook);
                // 200 chunks of 2 ms: workers hold chunks when the caller forks.
                pool.run_chunks(200, 1, [&](std::size_t, std::size_t) {
                    if (where == in_chunk && hook.child < 0 && std::this_thread::get_id() == caller)
                        hook.child = fork();
                    for (const auto end = Clock::now() + 2ms; Clock::now() < end;) porosa::interrupt_point();
                    ran++;
                });
            } catch (const porosa::Panic& e) {
                code = std::string(e.what()) == porosa::kForkedDuringCall ? kPanicked : kOther;
            } catch (const porosa::Interrupted&) {
                code = kInterrupted;
            } catch (...) {
                code = kOther;  // the child must not go back to the test runner
            }
            if (hook.child == 0) exit_child(pool, code);
            EXPECT_EQ(code, kFinished);  // the parent's step goes on undisturbed
            EXPECT_EQ(ran.load(), 200);
            ASSERT_TRUE(hook.child > 0);
            EXPECT_EQ(wait_child(hook.child, 60s), where == in_hook_stopping ? kInterrupted : kPanicked);
        }
    }
}

// Forks while another thread runs step after step: the child's copy of the pool
// is whole and unlocked, whatever the workers were doing (about a quarter of
// these children hang when the pool's lock is not held across the fork).
TEST(pool_fork, children_forked_while_steps_run_run_steps) {
    if (!kCanForkHere) return;
    Pool pool(3);
    std::atomic<bool> stop{false};
    std::thread caller([&] {
        while (!stop.load()) pool.run(64, [](std::size_t) {});
    });
    for (int k = 0; k < 100; ++k) {
        const pid_t pid = fork();
        if (pid == 0) exit_child(pool, 0);
        const int code = wait_child(pid, 60s);
        EXPECT_EQ(code, 0);
        if (code != 0) break;  // one failure is enough, and a hung child took a minute
    }
    stop = true;
    caller.join();
}
