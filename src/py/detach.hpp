// Running native work detached from the interpreter, and leaving it safely
// when the interpreter is shutting down.
//
// A detached thread lets other threads run, collect garbage and allocate (and,
// with a GIL, run at all). Re-attaching while the interpreter finalizes would
// end the thread by unwinding it (CPython 3.13 and earlier) or block it for
// good: a daemon thread still inside a call at exit is therefore parked before
// it touches the interpreter again, and, should finalization begin in the
// instant between that check and re-attaching, its unwinding leaves every
// Python reference alone (PyRef) and is let through every handler.
#pragma once
#include <Python.h>
#include <unistd.h>

#include <type_traits>
#include <utility>

#include "core/forced_unwind.hpp"
#include "py/ref.hpp"

namespace porosa::py {

// Never returns: the process is about to end without this thread.
[[noreturn]] inline void park_forever() noexcept {
    for (;;) ::pause();
}

// Detaches the calling thread for its lifetime. reattach() must be called on
// every path before Python is used again, and not from a destructor: a thread
// that the shutdown ends unwinds from inside it. run_detached does both.
class Detached {
public:
    Detached() noexcept : state_(PyEval_SaveThread()), outer_(current_) { current_ = this; }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;
    ~Detached() { current_ = outer_; }

    void reattach() {
        if (!state_) return;
        current_ = outer_;
        if (interpreter_finalizing()) park_forever();
        PyEval_RestoreThread(std::exchange(state_, nullptr));
    }

    // Runs f() attached, on a thread the shutdown never ends (the main
    // thread): for the rare moments detached work needs Python.
    template <class F>
    auto attached(F&& f) {
        PyEval_RestoreThread(std::exchange(state_, nullptr));
        struct Again {
            PyThreadState*& s;
            ~Again() { s = PyEval_SaveThread(); }
        } again{state_};
        return f();
    }

    // The innermost detached region of this thread, or null when attached.
    static Detached* current() noexcept { return current_; }

private:
    PyThreadState* state_;
    Detached* outer_;
    static inline thread_local Detached* current_ = nullptr;
};

// f() detached, re-attaching before its result or its failure travels on
// (except the unwinding of a thread the shutdown ends, which must not).
template <class F>
auto run_detached(F&& f) {
    Detached detached;
    try {
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            detached.reattach();
        } else {
            auto result = f();
            detached.reattach();
            return result;
        }
    } catch (const ForcedUnwind&) {
        throw;
    } catch (...) {
        detached.reattach();
        throw;
    }
}

}  // namespace porosa::py
