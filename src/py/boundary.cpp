#include "py/boundary.hpp"

#include <mutex>

namespace porosa::py {

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const Interrupted&) {
        // The reason is the exception already pending: it reaches the caller as it is.
        if (!PyErr_Occurred()) PyErr_SetString(panic_exception_type(), "interrupted without a pending exception");
    } catch (const Panic& e) {
        set_error(panic_exception_type(), e.message());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "out of memory: a buffer this call needs could not be allocated");
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(panic_exception_type(), e.what());
    } catch (...) {
        PyErr_SetString(panic_exception_type(), "unknown internal failure");
    }
}

Status warn(const std::string& message) {
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 0) == 0) return {};
    return step_failed("Something went wrong..");
}

Status BorrowState::acquire_exclusive() noexcept {
    long expected = 0;
    if (state_.compare_exchange_strong(expected, -1, std::memory_order_acquire)) return {};
    return fail(ErrorKind::Runtime, "Already borrowed");
}

Status BorrowState::acquire_shared() noexcept {
    long cur = state_.load(std::memory_order_relaxed);
    while (cur >= 0)
        if (state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire)) return {};
    return fail(ErrorKind::Runtime, "Already mutably borrowed");
}

}  // namespace porosa::py
