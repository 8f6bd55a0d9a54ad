#include "core/interrupt.hpp"

namespace porosa {

namespace interrupt_detail {

namespace {

std::chrono::steady_clock::rep now_ticks() noexcept {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

constexpr std::chrono::steady_clock::rep kIntervalTicks =
    std::chrono::duration_cast<std::chrono::steady_clock::duration>(kHookInterval).count();

}  // namespace

void check() {
    ThreadState& s = state;
    s.budget = kUnitsPerCheck;
    if (s.step && s.step->load(std::memory_order_relaxed)) throw Cancelled{};
    if (!s.hook) return;
    const auto now = now_ticks();
    if (now - s.last_hook < kIntervalTicks) return;
    s.last_hook = now;
    if (s.hook(s.context)) throw Interrupted{};
}

}  // namespace interrupt_detail

// A call starts with a full interval before its first hook call, so a short
// call never runs the hook at all, and works for no step: a call made from
// inside the hook (a signal handler calling back in) must not be cancelled by
// the step its caller was running.
InterruptHook::InterruptHook(bool (*hook)(void*), void* context) noexcept : saved_(interrupt_detail::state) {
    interrupt_detail::ThreadState& s = interrupt_detail::state;
    s.hook = hook;
    s.context = context;
    s.step = nullptr;
    s.budget = interrupt_detail::kUnitsPerCheck;
    s.last_hook = interrupt_detail::now_ticks();
}

InterruptHook::~InterruptHook() { interrupt_detail::state = saved_; }

}  // namespace porosa
