#include "core/fork_watch.hpp"

#include <pthread.h>

#include <mutex>

namespace porosa {

void watch_forks() {
    static std::once_flag once;
    std::call_once(once, [] {
        pthread_atfork(nullptr, nullptr, [] { fork_detail::forks.fetch_add(1, std::memory_order_acq_rel); });
    });
}

}  // namespace porosa
