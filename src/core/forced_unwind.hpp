// The unwinding that ends a thread (pthread_exit, or an interpreter shutting
// down under a daemon thread) must pass through every handler: one that
// swallows it aborts the process. Handlers catch it first and rethrow it.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>
namespace porosa {
using ForcedUnwind = abi::__forced_unwind;
}
#else
namespace porosa {
// No such unwinding to let through here.
struct ForcedUnwind {};
}
#endif
