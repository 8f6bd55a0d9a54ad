// The one unit that defines the table of NumPy's function pointers.
#define POROSA_NUMPY_API_OWNER
#include "py/bridge/numpy_api.hpp"

#include <atomic>
#include <mutex>
#include <string>

#include "py/ref.hpp"

namespace porosa::bridge {

namespace {

using py::PyRef;
using py::Result;

std::atomic<bool> g_loaded{false};
std::mutex g_publish;

// The multiarray module moved from numpy.core to numpy._core in NumPy 2.
Result<PyRef> import_multiarray() {
    Result<PyRef> mod = py::owned(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (mod || !mod.error().matches(PyExc_ModuleNotFoundError)) return mod;
    return py::owned(PyImport_ImportModule("numpy.core._multiarray_umath"));
}

}  // namespace

py::Status load_numpy() {
    if (g_loaded.load(std::memory_order_acquire)) return {};

    // Every Python step happens before the lock: an import may let another
    // thread run, and that thread must never find the lock taken while it waits
    // for the interpreter. Racing threads read the same capsule; one publishes.
    ASSIGN_OR_RETURN(PyRef mod, import_multiarray());
    ASSIGN_OR_RETURN(PyRef capsule, py::owned(PyObject_GetAttrString(mod.get(), "_ARRAY_API")));
    if (!PyCapsule_CheckExact(capsule.get())) return py::fail(ErrorKind::Runtime, "_ARRAY_API is not PyCapsule object");
    void** api = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!api) return py::fail_from_current();

    // The checks NumPy's own import makes: an ABI no newer than the one we were
    // built for (NumPy 2 headers also serve NumPy 1.x), and a C-API level that
    // covers what we use.
    auto abi = reinterpret_cast<unsigned (*)()>(api[0])();
    auto feature = reinterpret_cast<unsigned (*)()>(api[211])();
    if (abi > NPY_VERSION || feature < NPY_FEATURE_VERSION)
        return py::fail(ErrorKind::Runtime, "the running NumPy's C-API (ABI " + std::to_string(abi) +
                                                ", feature level " + std::to_string(feature) +
                                                ") does not match the one this module was built for");

    std::lock_guard lock(g_publish);
    if (!g_loaded.load(std::memory_order_relaxed)) {
        porosa_ARRAY_API = api;
        PyArray_RUNTIME_VERSION = static_cast<int>(feature);
        g_loaded.store(true, std::memory_order_release);
    }
    return {};
}

}  // namespace porosa::bridge
