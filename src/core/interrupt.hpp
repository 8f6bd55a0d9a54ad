// Interruption of a long call, without any knowledge of who interrupts.
//
// The thread that makes a call installs a hook for its duration (InterruptHook).
// Work anywhere in the core calls interrupt_point() in its loops; every so
// often that looks at the clock, and at most every kHookInterval it asks the
// hook whether the call must stop. A hook that says so has already recorded
// the reason on its side (a pending Python exception at the boundary), and
// interrupt_point throws Interrupted, which the boundary lets through as that
// reason.
//
// A pool worker has no hook. There interrupt_point stops the chunk it runs
// once the chunk's step has failed or been cancelled, by throwing Cancelled,
// which the pool discards in favour of the step's first failure.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>

namespace porosa {

// Neither type derives from std::exception: code that turns a std::exception
// into a failure of its own must not catch them on their way out.

// The call must stop for a reason recorded elsewhere: the hook asked it to, or
// code at the boundary met an exception that must reach the caller unchanged.
// At the boundary the reason is always the pending Python exception.
struct Interrupted {};
// The step the throwing thread works for has already failed.
struct Cancelled {};

namespace interrupt_detail {

// Units of work between two looks at the clock: a few thousand cheap steps.
inline constexpr std::ptrdiff_t kUnitsPerCheck = 4096;

struct ThreadState {
    bool (*hook)(void*) = nullptr;  // true: stop, the reason being recorded
    void* context = nullptr;
    const std::atomic<bool>* step = nullptr;  // the failure flag of the step this thread works for
    std::ptrdiff_t budget = kUnitsPerCheck;
    std::chrono::steady_clock::rep last_hook = 0;  // steady clock ticks
};

// Constant-initialised and trivially destructible, so reaching it costs a
// thread-pointer offset, not a call.
inline thread_local ThreadState state;

void check();

}  // namespace interrupt_detail

// The least time between two calls of a thread's hook.
inline constexpr std::chrono::milliseconds kHookInterval{20};

// Counts `work` units (about one cheap step each: a cell, an attempt, a row of
// a narrow matrix) and checks once enough have passed since the last check.
// Throws Interrupted or Cancelled; otherwise does nothing.
inline void interrupt_point(std::size_t work = 1) {
    auto& s = interrupt_detail::state;
    s.budget -= static_cast<std::ptrdiff_t>(work);
    if (s.budget <= 0) [[unlikely]]
        interrupt_detail::check();
}

// Checks at once, whatever was counted: for coarse steps (a chunk, a wait).
inline void interrupt_check() { interrupt_detail::check(); }

// Installs `hook` (with `context`) on the current thread until destruction;
// the previous hook, if any, comes back afterwards, so calls may nest.
class InterruptHook {
public:
    InterruptHook(bool (*hook)(void*), void* context) noexcept;
    ~InterruptHook();
    InterruptHook(const InterruptHook&) = delete;
    InterruptHook& operator=(const InterruptHook&) = delete;

private:
    interrupt_detail::ThreadState saved_;
};

// Marks the current thread as working for the step whose failure flag is
// `failed` until destruction. For the pool.
class StepScope {
public:
    explicit StepScope(const std::atomic<bool>* failed) noexcept : saved_(interrupt_detail::state.step) {
        interrupt_detail::state.step = failed;
    }
    ~StepScope() { interrupt_detail::state.step = saved_; }
    StepScope(const StepScope&) = delete;
    StepScope& operator=(const StepScope&) = delete;

private:
    const std::atomic<bool>* saved_;
};

}  // namespace porosa
