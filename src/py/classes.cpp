// The MAR and MNAR classes: their constructors and their type objects.
#include <mutex>

#include "generators/mar/mar.hpp"
#include "generators/mnar/mnar.hpp"
#include "py/args.hpp"
#include "py/generator_object.hpp"

namespace porosa::py {

namespace {

// Issues the warnings of a mode in order; a failing one stops the construction.
Status issue(const std::vector<std::string>& warnings) {
    for (const auto& w : warnings) RETURN_IF_ERROR(warn(w));
    return {};
}

// The parameters both classes share, converted in their order: mean and
// variance come first, the cap, the mode word and the seed last.
struct GmArgs {
    std::optional<double> mean, variance;
};
struct TailArgs {
    double cap;
    std::string word;
    std::optional<std::uint64_t> seed;
};

Result<GmArgs> convert_gm(PyObject* mean_o, PyObject* variance_o) {
    ASSIGN_OR_RETURN(auto mean, optional_arg<double>(mean_o, "mean", to_double));
    ASSIGN_OR_RETURN(auto variance, optional_arg<double>(variance_o, "variance", to_double));
    return GmArgs{mean, variance};
}

Result<TailArgs> convert_tail(PyObject* cap_o, PyObject* mode_o, PyObject* seed_o) {
    ASSIGN_OR_RETURN(double cap, cap_o ? to_double(cap_o, "max_missing_per_column") : Result<double>(0.8));
    ASSIGN_OR_RETURN(std::string word, mode_o ? to_text(mode_o, "mode") : Result<std::string>(std::string("GM")));
    ASSIGN_OR_RETURN(auto seed, optional_arg<std::uint64_t>(seed_o, "random_seed", to_u64));
    return TailArgs{cap, std::move(word), seed};
}

Result<PyRef> new_mar(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"mean", "variance", "max_missing_per_column", "mode", "random_seed", nullptr};
    PyObject *mean_o = nullptr, *variance_o = nullptr, *cap_o = nullptr, *mode_o = nullptr, *seed_o = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOO:MAR", const_cast<char**>(kwlist), &mean_o, &variance_o,
                                     &cap_o, &mode_o, &seed_o))
        return fail_from_current();
    ASSIGN_OR_RETURN(GmArgs gm, convert_gm(mean_o, variance_o));
    ASSIGN_OR_RETURN(TailArgs tail, convert_tail(cap_o, mode_o, seed_o));

    ASSIGN_OR_RETURN(ModeWithWarnings mode, Mode::new_(tail.word, gm.mean, gm.variance, std::nullopt, std::nullopt));
    RETURN_IF_ERROR(issue(mode.warnings));
    ASSIGN_OR_RETURN(MAR mar, MAR::new_(mode.mode, tail.cap, tail.seed));
    return wrap_generator(type, std::make_unique<MAR>(std::move(mar)));
}

Result<PyRef> new_mnar(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"mean", "variance", "block_size", "n_blobs", "max_missing_per_column",
                                   "mode", "random_seed", nullptr};
    PyObject *mean_o = nullptr, *variance_o = nullptr, *block_o = nullptr, *blobs_o = nullptr, *cap_o = nullptr,
             *mode_o = nullptr, *seed_o = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOOOO:MNAR", const_cast<char**>(kwlist), &mean_o,
                                     &variance_o, &block_o, &blobs_o, &cap_o, &mode_o, &seed_o))
        return fail_from_current();
    ASSIGN_OR_RETURN(GmArgs gm, convert_gm(mean_o, variance_o));
    ASSIGN_OR_RETURN(auto block, optional_arg<std::pair<double, double>>(block_o, "block_size", to_pair));
    ASSIGN_OR_RETURN(auto blobs, optional_arg<std::size_t>(blobs_o, "n_blobs", to_usize));
    ASSIGN_OR_RETURN(TailArgs tail, convert_tail(cap_o, mode_o, seed_o));

    ASSIGN_OR_RETURN(ModeWithWarnings mode, Mode::new_(tail.word, gm.mean, gm.variance, block, blobs));
    RETURN_IF_ERROR(issue(mode.warnings));
    // The generator is made only once the mode is known to be valid.
    return wrap_generator(type, std::make_unique<MNAR>(mode.mode, tail.cap, build_rng(tail.seed)));
}

PyObject* mar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&] { return new_mar(type, args, kwargs); });
}
PyObject* mnar_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&] { return new_mnar(type, args, kwargs); });
}

template <auto New>
PyType_Slot* slots_with(const char* doc) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(New)},
        {Py_tp_call, reinterpret_cast<void*>(generator_call)},
        {Py_tp_repr, reinterpret_cast<void*>(generator_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(generator_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(generator_clear)},
        {0, nullptr},
    };
    return slots;
}

// Created once per process; a second thread arriving meanwhile waits. Only
// the thread that tried gets the failure's own exception.
Result<PyObject*> make_type_once(std::once_flag& once, PyObject*& slot, PyType_Spec& spec) {
    std::optional<PyError> failure;
    std::call_once(once, [&] {
        slot = PyType_FromSpec(&spec);
        if (!slot) failure = PyError::fetch();
    });
    if (slot) return slot;
    if (failure) return Unexpected<PyError>{std::move(*failure)};
    return fail(ErrorKind::System, "type creation failed earlier");
}

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;

}  // namespace

Result<PyObject*> mnar_type() {
    static std::once_flag once;
    static PyObject* type = nullptr;
    static PyType_Spec spec{
        .name = "porosa.MNAR",  // __name__ is the bare "MNAR"; the prefix sets __module__
        .basicsize = sizeof(GeneratorObject),
        .itemsize = 0,
        .flags = kFlags,
        .slots = slots_with<mnar_new>("MNAR(mean=None, variance=None, block_size=None, n_blobs=None, "
                                      "max_missing_per_column=..., mode=\"GM\", random_seed=None)\n--\n\n"),
    };
    return make_type_once(once, type, spec);
}

Result<PyObject*> mar_type() {
    static std::once_flag once;
    static PyObject* type = nullptr;
    static PyType_Spec spec{
        .name = "porosa.MAR",
        .basicsize = sizeof(GeneratorObject),
        .itemsize = 0,
        .flags = kFlags,
        .slots = slots_with<mar_new>(
            "MAR(mean=None, variance=None, max_missing_per_column=..., mode=\"GM\", random_seed=None)\n--\n\n"),
    };
    return make_type_once(once, type, spec);
}

}  // namespace porosa::py
