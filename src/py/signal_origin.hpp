// Whether an exception came out of a signal handler.
//
// The interpreter runs a handler wherever the main thread happens to be, inside
// a cell's __float__ or __str__ too, where the handler's exception looks like
// the cell's own failure. What sets it apart is how the interpreter calls a
// handler: with the frame it interrupted, which is the frame the handler's own
// frame returns to. Ordinary code practically never passes a function its
// caller's frame, so a traceback that goes through a frame holding its caller
// among its arguments marks the exception of a handler written in Python.
#pragma once
#include <Python.h>

#include "py/error.hpp"

namespace porosa::py {

// Attached. Looking at the frames can fail only for want of memory: that
// failure comes back instead of an answer.
Result<bool> raised_by_signal_handler(PyObject* exception);

}  // namespace porosa::py
