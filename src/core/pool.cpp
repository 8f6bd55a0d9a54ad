#include "core/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "core/forced_unwind.hpp"
#include "core/fork_watch.hpp"
#include "core/interrupt.hpp"
#include "core/panic.hpp"

namespace porosa {

namespace {

// Leaves a step that the calling thread forked in the middle of. What the hook
// recorded (a pending exception) is still what the caller gets; anything else
// becomes the fork's failure.
[[noreturn]] void leave_forked_step() {
    if (std::current_exception()) {
        try {
            throw;
        } catch (const Interrupted&) {
            throw;
        } catch (...) {
        }
    }
    panic(kForkedDuringCall);
}

}  // namespace

// The pools of the process, kept for the fork handlers: the pool's lock is
// taken across a fork so that the child's copy of the queue is whole, and the
// child's copy of the pool forgets the workers it lost.
struct PoolForks {
    // Leaked, so that a fork during static destruction still finds them.
    static std::mutex& mu() {
        static auto* m = new std::mutex;
        return *m;
    }
    static std::vector<Pool*>& pools() {
        static auto* v = new std::vector<Pool*>;
        return *v;
    }

    static void prepare() noexcept {
        mu().lock();
        for (Pool* p : pools()) p->mu_.lock();
    }
    static void parent() noexcept {
        for (Pool* p : pools()) p->mu_.unlock();
        mu().unlock();
    }
    static void child() noexcept {
        for (Pool* p : pools()) {
            p->forget_workers();
            p->mu_.unlock();
        }
        mu().unlock();
    }

    static void add(Pool* pool) {
        static std::once_flag once;
        std::call_once(once, [] {
            watch_forks();
            pthread_atfork(prepare, parent, child);
        });
        std::lock_guard lock(mu());
        pools().push_back(pool);
    }
    static void remove(Pool* pool) noexcept {
        std::lock_guard lock(mu());
        std::erase(pools(), pool);
    }
};

struct Pool::Job {
    FunctionRef<void(std::size_t, std::size_t)> body;
    std::size_t n;
    std::size_t grain;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> finished{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    // An interruption of the calling thread outranks any failure: its reason is
    // already recorded by the hook and is what the caller must see.
    std::exception_ptr interrupted;
    std::mutex mu;  // guards error, interrupted and the completion signal
    std::condition_variable done;
    // The forks seen when the step began: once more have happened, this is
    // the child's copy of the step, whose other threads are gone.
    const std::uint64_t forks = fork_count();

    Job(FunctionRef<void(std::size_t, std::size_t)> b, std::size_t n_, std::size_t g)
        : body(b), n(n_), grain(g) {}

    bool exhausted() const noexcept { return next.load(std::memory_order_relaxed) >= n; }
    bool complete() const noexcept { return finished.load(std::memory_order_acquire) == n; }
    bool orphaned() const noexcept { return fork_count() != forks; }

    // Records the exception in flight and stops the step: chunks not yet
    // started are skipped, and the ones running stop at their next
    // interrupt_point.
    void fail() noexcept {
        std::lock_guard lock(mu);
        try {
            throw;
        } catch (const Interrupted&) {
            if (!interrupted) interrupted = std::current_exception();
        } catch (...) {
        }
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_release);
    }

    // Claims and runs one chunk; false when nothing is left to claim.
    bool run_one() {
        std::size_t begin = next.fetch_add(grain, std::memory_order_relaxed);
        if (begin >= n) return false;
        std::size_t end = std::min(n, begin + std::min(grain, n - begin));
        if (!failed.load(std::memory_order_acquire)) {
            try {
                StepScope scope(&failed);
                body(begin, end);
            } catch (const ForcedUnwind&) {
                // The thread is ending: the step stops, and this chunk counts
                // as done so that whoever waits for the step is not left waiting.
                failed.store(true, std::memory_order_release);
                finish(end - begin);
                throw;
            } catch (...) {
                if (orphaned()) leave_forked_step();
                fail();
            }
        }
        // No lock of the step is touched in the child: a lost worker may hold it.
        if (orphaned()) leave_forked_step();
        finish(end - begin);
        return true;
    }

    void finish(std::size_t count) noexcept {
        if (finished.fetch_add(count, std::memory_order_acq_rel) + count == n) {
            std::lock_guard lock(mu);
            done.notify_all();
        }
    }
};

Pool::Pool(std::size_t threads) : helpers_wanted_(threads > 1 ? threads - 1 : 0) { PoolForks::add(this); }

Pool::~Pool() {
    PoolForks::remove(this);
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (auto& t : workers_) t.join();
}

void Pool::start_workers() {
    std::lock_guard lock(mu_);
    if (!to_start_.load(std::memory_order_relaxed)) return;
    // A thread the system refuses (a process or address-space limit) just
    // leaves the pool smaller; the calling thread can always run a step alone.
    for (std::size_t i = 0; i < helpers_wanted_; ++i) {
        try {
            workers_.emplace_back([this] { worker_loop(); });
        } catch (const std::exception&) {
            break;
        }
    }
    idle_.store(workers_.empty(), std::memory_order_release);
    to_start_.store(false, std::memory_order_release);
}

void Pool::forget_workers() noexcept {
    // Their std::thread objects stand for threads this process does not have:
    // joined they would never return, destroyed joinable they would end the
    // process. They are left behind unread, as is the condition variable the
    // lost workers were waiting on, whose count of waiters would never drop.
    new (&workers_) std::vector<std::thread>();
    new (&cv_) std::condition_variable();
    // A step left in the queue is either the forking thread's, given up by it,
    // or a lost thread's, which nobody runs again.
    jobs_.clear();
    idle_.store(true, std::memory_order_relaxed);
    to_start_.store(true, std::memory_order_relaxed);
}

void Pool::worker_loop() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(mu_);
            cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = jobs_.front();
            if (job->exhausted()) {
                jobs_.pop_front();
                continue;
            }
        }
        while (job->run_one()) {
        }
    }
}

void Pool::run_chunks(std::size_t n, std::size_t grain, FunctionRef<void(std::size_t, std::size_t)> body) {
    if (n == 0) return;
    if (grain == 0) grain = 1;
    if (to_start_.load(std::memory_order_acquire)) [[unlikely]]
        start_workers();
    // A step of one chunk, or a pool without helpers, runs inline.
    if (idle_.load(std::memory_order_acquire) || n <= grain) {
        for (std::size_t b = 0; b < n; b += grain) {
            if (b > 0) interrupt_check();
            body(b, std::min(n, b + grain));
        }
        return;
    }
    auto job = std::make_shared<Job>(body, n, grain);
    {
        std::lock_guard lock(mu_);
        jobs_.push_back(job);
    }
    cv_.notify_all();
    try {
        take_part(*job);
    } catch (const ForcedUnwind&) {
        if (job->orphaned()) throw;
        // The workers' chunks may use this thread's stack: they finish first,
        // and the chunks nobody has claimed are skipped here.
        job->failed.store(true, std::memory_order_release);
        while (job->run_one()) {
        }
        std::unique_lock lock(job->mu);
        job->done.wait(lock, [&] { return job->complete(); });
        throw;
    }
    {
        // Drop it from the queue if no worker has done so yet.
        std::lock_guard lock(mu_);
        auto it = std::find(jobs_.begin(), jobs_.end(), job);
        if (it != jobs_.end()) jobs_.erase(it);
    }
    // Taken out of the job, so the exception dies on this thread, not on a worker
    // that drops the last reference to the job.
    if (job->interrupted) {
        job->error = nullptr;
        std::rethrow_exception(std::exchange(job->interrupted, nullptr));
    }
    if (job->error) std::rethrow_exception(std::exchange(job->error, nullptr));
}

void Pool::take_part(Job& job) {
    // The calling thread may be the one a hook watches: it looks between its
    // own chunks and, while workers finish theirs, between short waits. What
    // the hook says stops the step like a failed chunk.
    auto look = [&] {
        try {
            interrupt_check();
        } catch (const ForcedUnwind&) {
            throw;
        } catch (...) {
            if (job.orphaned()) leave_forked_step();
            job.fail();
        }
        if (job.orphaned()) leave_forked_step();
    };
    while (job.run_one())
        if (!job.failed.load(std::memory_order_relaxed)) look();
    std::unique_lock lock(job.mu);
    while (!job.complete()) {
        if (job.failed.load(std::memory_order_relaxed)) {
            job.done.wait(lock, [&] { return job.complete(); });
            break;
        }
        if (job.done.wait_for(lock, kHookInterval, [&] { return job.complete(); })) break;
        lock.unlock();
        look();
        lock.lock();
    }
}

static std::size_t configured_threads() {
    if (const char* env = std::getenv("POROSA_THREADS"); env && *env >= '0' && *env <= '9') {
        char* end = nullptr;
        unsigned long v = std::strtoul(env, &end, 10);
        if (end != env && *end == '\0' && v > 0) return std::min<unsigned long>(v, 1024);
    }
    unsigned hw = std::thread::hardware_concurrency();
    return hw ? hw : 1;
}

Pool& Pool::global() {
    // Never destroyed: worker threads may outlive static destruction at exit.
    static Pool* pool = new Pool(configured_threads());
    return *pool;
}

}  // namespace porosa
