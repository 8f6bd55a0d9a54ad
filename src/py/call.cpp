// The call of a generator: the steps both classes share around their removal.
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/fork_watch.hpp"
#include "core/numtext.hpp"
#include "py/args.hpp"
#include "py/detach.hpp"
#include "py/generator_object.hpp"
#include "py/bridge/bridge.hpp"

namespace porosa::py {

namespace {

// The thread that runs the interpreter's signal handlers. After a fork it is
// the thread that forked, whichever it was in the parent.
std::atomic<unsigned long> main_thread{0};

// What a call's hook knows of it.
struct CallWatch {
    std::uint64_t forks = fork_count();
};

bool run_signal_handlers() {
    Detached* detached = Detached::current();
    if (!detached) return PyErr_CheckSignals() < 0;
    if (PyThread_get_thread_ident() != main_thread.load(std::memory_order_relaxed)) return false;
    return detached->attached([] { return PyErr_CheckSignals() < 0; });
}

// Signal handlers run here, on the calling thread, whenever the call reaches an
// interrupt point; one that raises (Ctrl-C's KeyboardInterrupt) stops the call
// with its exception. Handlers are Python code, so the loops that keep pointers
// into Python objects look at those objects again after an interrupt point.
// Only the main thread runs handlers, so detached work on another thread has
// nothing to look at and stays detached. A handler that forks leaves the child
// a call whose pool work is lost with the other threads: there it ends at once.
bool check_signals(void* context) {
    if (run_signal_handlers()) return true;
    if (fork_count() != static_cast<const CallWatch*>(context)->forks) panic(kForkedDuringCall);
    return false;
}

Result<PyRef> call_steps(GeneratorObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"data", "missing_rate", nullptr};
    PyObject* data = nullptr;
    PyObject* rate_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__call__", const_cast<char**>(kwlist), &data, &rate_obj))
        return fail_from_current();

    // The call advances the instance's generator, so it holds the instance alone.
    RETURN_IF_ERROR(self->borrow.acquire_exclusive());
    Hold<true> hold(self->borrow);

    ASSIGN_OR_RETURN(double missing_rate, to_double(rate_obj, "missing_rate"));
    ASSIGN_OR_RETURN(bridge::Extracted input, bridge::pyany_to_vec(data));
    DataMatrix& matrix = input.matrix;

    Generator& core = *self->core;
    double limit = rate_limit(core.max_missing_per_column(), matrix.cols());
    if (missing_rate > limit) {
        RETURN_IF_ERROR(warn("Warning: Missing rate too high to ensure MAR properties! Maximum missing rate: " +
                             number_text(limit)));
        missing_rate = limit;
    }
    std::size_t target = target_count(matrix.rows(), matrix.cols(), missing_rate);
    // The removal touches no Python object: other threads run, allocate and
    // collect meanwhile.
    RETURN_IF_ERROR(run_detached([&] { return core.drop(matrix, missing_rate, target); }));
    return bridge::arr_to_out(matrix, std::move(input.out), std::move(input.info));
}

}  // namespace

void note_main_thread(unsigned long ident) {
    main_thread.store(ident, std::memory_order_relaxed);
    static std::once_flag once;
    std::call_once(once, [] {
        watch_forks();
        // The interpreter makes the forking thread the child's main thread.
        pthread_atfork(nullptr, nullptr,
                       [] { main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed); });
    });
}

PyObject* generator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    CallWatch watch;
    InterruptHook hook(check_signals, &watch);
    return guard([&]() -> Result<PyRef> {
        ASSIGN_OR_RETURN(PyRef result, call_steps(reinterpret_cast<GeneratorObject*>(self), args, kwargs));
        // A fork between two looks of the hook (a cell's conversion that forks,
        // in a short call) gives the child the same outcome as any other fork
        // mid-call.
        if (fork_count() != watch.forks) panic(kForkedDuringCall);
        return result;
    });
}

}  // namespace porosa::py
