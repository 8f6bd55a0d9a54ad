// How the program's failures reach Python: the entry guard, PanicException,
// warnings, and the borrow state of an instance.
#pragma once
#include <Python.h>

#include <atomic>
#include <exception>
#include <new>
#include <string>

#include "core/interrupt.hpp"
#include "core/forced_unwind.hpp"
#include "core/panic.hpp"
#include "py/error.hpp"
#include "py/ref.hpp"

namespace porosa::py {

// Sets the Python exception for a C++ exception in flight: Panic becomes
// PanicException, a failed allocation MemoryError; for Interrupted, keeps the
// exception already pending.
void raise_current_exception() noexcept;

namespace guard_detail {

// Runs `handler`, whose outcome is a Result; a value goes back through
// `take`, an error value or a C++ exception becomes the current Python
// exception and the slot gets `failed`. The one thing it lets out is the
// unwinding of a thread the interpreter ends at shutdown, which must reach
// the thread's start (hence no noexcept).
template <class Slot, class F, class Take>
Slot run(F& handler, Take take, Slot failed) {
    try {
        auto r = handler();
        if (r) return take(std::move(r));
        std::move(r).error().restore();
    } catch (const ForcedUnwind&) {
        throw;
    } catch (...) {
        raise_current_exception();
    }
    return failed;
}

}  // namespace guard_detail

// The entry guard of a slot that returns an object: `handler` returns
// Result<PyRef>; the slot gets the new reference, or null with the exception set.
template <class F>
PyObject* guard(F&& handler) {
    auto as_result = [&]() -> Result<PyRef> { return handler(); };
    return guard_detail::run<PyObject*>(
        as_result, [](Result<PyRef>&& r) { return std::move(r).value().release(); }, nullptr);
}

// The same for a slot that returns 0 or -1 (module execution): `handler`
// returns Status.
template <class F>
int guard_status(F&& handler) {
    auto as_status = [&]() -> Status { return handler(); };
    return guard_detail::run<int>(as_status, [](Status&&) { return 0; }, -1);
}

// For deallocation and garbage-collector clear, where a failure cannot be reported.
template <class F>
void guard_fatal(F&& handler) {
    try {
        handler();
    } catch (const ForcedUnwind&) {
        throw;
    } catch (...) {
        Py_FatalError("uncaught panic at ffi boundary");
    }
}

// Issues a UserWarning at stack level 0. A warning that raises an ordinary
// error (filters turned into errors) becomes the internal failure "Something
// went wrong..: ..."; anything else (an interruption meanwhile) comes back.
Status warn(const std::string& message);

// Free, shared by readers (> 0), or held by one writer (-1). Nothing waits: a
// conflict fails at once.
class BorrowState {
public:
    // Exclusive hold for a call; RuntimeError "Already borrowed" on conflict.
    Status acquire_exclusive() noexcept;
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }
    // Shared hold for a representation; "Already mutably borrowed" on conflict.
    Status acquire_shared() noexcept;
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

private:
    std::atomic<long> state_{0};
};

template <bool Exclusive>
class Hold {
public:
    explicit Hold(BorrowState& s) noexcept : s_(&s) {}
    ~Hold() {
        if constexpr (Exclusive)
            s_->release_exclusive();
        else
            s_->release_shared();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    BorrowState* s_;
};

}  // namespace porosa::py
