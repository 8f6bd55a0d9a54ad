// The process-wide fork-join worker pool.
//
// A parallel step hands a range of indices to the pool and returns when every
// index has run. The calling thread works on its own step while it waits, so a
// step nested inside another step's task always completes, whatever the number
// of workers. The first exception thrown by a task stops the rest of that step
// and is rethrown on the calling thread once no task of the step is running.
// The calling thread checks for interruption (core/interrupt.hpp) between its
// chunks and while it waits; an interruption stops the step the same way and
// is what the caller gets, whatever else failed meanwhile.
// Tasks never touch Python objects.
//
// A fork leaves the child only the thread that forked. The pool there starts
// new workers at its next step; a step that was running when that thread
// forked is given up in the child (kForkedDuringCall) without waiting for the
// chunks that the lost workers held, or for their locks.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"

namespace porosa {

// A non-owning reference to a callable, cheaper than std::function.
template <class Sig>
class FunctionRef;
template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F&& f) noexcept
        : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* o, Args... a) -> R { return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(a)...); }) {}
    // A plain function, called through its pointer.
    FunctionRef(R (*fn)(Args...)) noexcept
        : obj_(reinterpret_cast<void*>(fn)),
          call_([](void* o, Args... a) -> R { return reinterpret_cast<R (*)(Args...)>(o)(std::forward<Args>(a)...); }) {}
    R operator()(Args... a) const { return call_(obj_, std::forward<Args>(a)...); }

private:
    void* obj_;
    R (*call_)(void*, Args...);
};

class Pool {
public:
    // threads: the total number of threads that run a step, the caller
    // included. The workers start with the first step that can use them.
    explicit Pool(std::size_t threads);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // The size asked for: it shapes how steps are split, never their result.
    std::size_t threads() const noexcept { return helpers_wanted_ + 1; }

    // Runs body(begin, end) over consecutive chunks of at most `grain` indices
    // covering [0, n). Every index runs exactly once unless a task throws.
    void run_chunks(std::size_t n, std::size_t grain, FunctionRef<void(std::size_t, std::size_t)> body);

    // Runs body(i) for every i in [0, n), in chunks sized for the pool.
    template <class F>
    void run(std::size_t n, F&& body) {
        run_chunks(n, default_grain(n), [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                body(i);
                interrupt_point();
            }
        });
    }

    std::size_t default_grain(std::size_t n) const noexcept {
        std::size_t pieces = threads() * 4;
        return n / pieces + 1;
    }

    // The process-wide pool, created on first use. Its size is the value of the
    // environment variable POROSA_THREADS when set to a positive number, else the
    // number of hardware threads.
    static Pool& global();

private:
    struct Job;
    friend struct PoolForks;
    void worker_loop();
    void start_workers();
    // The calling thread's share of a step: chunks, then waiting for the rest.
    void take_part(Job& job);
    // In a child just forked, where only the forking thread is left.
    void forget_workers() noexcept;

    const std::size_t helpers_wanted_;
    std::atomic<bool> idle_{true};       // no worker runs: steps run inline
    std::atomic<bool> to_start_{true};   // workers are due at the next step
    std::vector<std::thread> workers_;   // guarded by mu_
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Job>> jobs_;
    bool stopping_ = false;
};

// A shorthand for the global pool.
inline void parallel_chunks(std::size_t n, std::size_t grain, FunctionRef<void(std::size_t, std::size_t)> body) {
    Pool::global().run_chunks(n, grain, body);
}

}  // namespace porosa
