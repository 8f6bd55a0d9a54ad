#include "py/generator_object.hpp"

#include <new>

namespace porosa::py {

namespace {

GeneratorObject* cast(PyObject* o) { return reinterpret_cast<GeneratorObject*>(o); }

}  // namespace

Result<PyRef> wrap_generator(PyTypeObject* type, std::unique_ptr<Generator> core) {
    ASSIGN_OR_RETURN(PyRef obj, owned(type->tp_alloc(type, 0)));
    GeneratorObject* self = cast(obj.get());
    new (&self->borrow) BorrowState();
    self->core = core.release();
    return obj;
}

PyObject* generator_repr(PyObject* self) {
    return guard([&]() -> Result<PyRef> {
        GeneratorObject* g = cast(self);
        RETURN_IF_ERROR(g->borrow.acquire_shared());
        Hold<false> hold(g->borrow);
        std::string text = g->core->repr();
        return owned(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// dealloc: release the native state, then free the object through its type.
void generator_dealloc(PyObject* self) {
    guard_fatal([&] {
        PyTypeObject* tp = Py_TYPE(self);
        // The instance's reference to its heap type, dropped once it is freed.
        PyRef type_ref = PyRef::steal(reinterpret_cast<PyObject*>(tp));
        PyObject_GC_UnTrack(self);
        GeneratorObject* g = cast(self);
        delete g->core;
        g->core = nullptr;
        g->borrow.~BorrowState();
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
        free_fn(self);
    });
}

// traverse: an instance holds no Python references besides its heap type.
int generator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// clear: nothing to release; the native state goes with deallocation.
int generator_clear(PyObject*) {
    guard_fatal([] {});
    return 0;
}

}  // namespace porosa::py
