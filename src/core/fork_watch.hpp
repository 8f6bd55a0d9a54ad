// Forks that this process came out of as the child.
//
// A fork copies only the thread that calls it. In the child, work that other
// threads had claimed never finishes and a lock they held is never released,
// so code that waits for other threads notes the count when it starts and,
// once the count has moved, neither waits nor takes a lock of that work again.
#pragma once
#include <atomic>
#include <cstdint>

namespace porosa {

namespace fork_detail {
inline std::atomic<std::uint64_t> forks{0};
}

// Starts counting; once per process, later calls do nothing. A fork before
// the first call is not counted, so it precedes any work that could notice.
void watch_forks();

inline std::uint64_t fork_count() noexcept { return fork_detail::forks.load(std::memory_order_acquire); }

// The failure of a call that was running when its thread forked, in the child.
inline constexpr const char* kForkedDuringCall =
    "the process forked during this call: the call cannot go on in the child";

}  // namespace porosa
