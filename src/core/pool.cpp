#include "core/pool.hpp"

#include "core/forced_unwind.hpp"
#include "core/interrupt.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <string>
#include <utility>

namespace porosa {

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

    Job(FunctionRef<void(std::size_t, std::size_t)> b, std::size_t n_, std::size_t g)
        : body(b), n(n_), grain(g) {}

    bool exhausted() const noexcept { return next.load(std::memory_order_relaxed) >= n; }
    bool complete() const noexcept { return finished.load(std::memory_order_acquire) == n; }

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
                fail();
            }
        }
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

Pool::Pool(std::size_t threads) {
    std::size_t helpers = threads > 1 ? threads - 1 : 0;
    workers_.reserve(helpers);
    // A thread the system refuses (a process or address-space limit) just
    // leaves the pool smaller; the calling thread can always run a step alone.
    for (std::size_t i = 0; i < helpers; ++i) {
        try {
            workers_.emplace_back([this] { worker_loop(); });
        } catch (const std::exception&) {
            break;
        }
    }
}

Pool::~Pool() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
    for (auto& t : workers_) t.join();
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
    // A step of one chunk, or a pool without helpers, runs inline.
    if (workers_.empty() || n <= grain) {
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
            job.fail();
        }
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
