// Interruption of a long call, without any knowledge of who interrupts.
//
// How an interrupt travels, from the thread that makes a call to its caller:
//
// 1. The calling thread installs a hook for the call's duration
//    (InterruptHook). Loops anywhere in the core call interrupt_point(); every
//    so often that looks at the clock, and at most every kHookInterval it asks
//    the hook whether the call must stop.
// 2. A hook that says so has already recorded the reason on its side: at the
//    Python boundary, the exception a signal handler raised, left pending in
//    the thread's error indicator. Nothing else records a reason.
// 3. interrupt_point then throws Interrupted. It is an exception, not an error
//    value, so that no code on its way can take it for a failure of its own:
//    the core's loops have no error returns, and the boundary's code that puts
//    up with ordinary Python errors never sees it. Neither Interrupted nor
//    Cancelled derives from std::exception, so no handler of those catches it.
// 4. In a pool step the calling thread's Interrupted stops the step: chunks not
//    yet started are skipped, and workers stop theirs at their next
//    interrupt_point by throwing Cancelled (they have no hook), which the pool
//    drops. Once no chunk runs, the pool rethrows Interrupted on the calling
//    thread, ahead of any failure of the step's chunks.
// 5. Detached work re-attaches on the way (run_detached), and the entry guard
//    sets no exception of its own for Interrupted: the pending one is what the
//    caller gets, unchanged.
//
// A call made from inside the hook (a signal handler calling porosa again)
// installs its own hook and works for no step, so the outer call's state
// neither stops nor cancels it.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>

namespace porosa {

// The call must stop: its hook said so and recorded the reason.
struct Interrupted {};
// The step the throwing thread works for has already failed or been stopped.
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
