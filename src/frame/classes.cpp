#include "classes.h"

#include "frame_names.h"
#include "state.h"
#include "ops.h"

namespace frame {
namespace {

// Replaces bases that are not classes by what their __mro_entries__ returns; the bases as
// written are returned through `original` when anything was replaced.
Ref resolve_bases(PyObject* bases, Ref& original) noexcept {
    Ref resolved = Ref::steal(PyList_New(0));
    if (!resolved) return {};
    bool replaced = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        PyObject* entries_method = nullptr;
        if (!PyType_Check(base) && PyObject_GetOptionalAttr(base, n::dunder_mro_entries, &entries_method) < 0) {
            return {};
        }
        if (entries_method == nullptr) {
            if (PyList_Append(resolved, base) < 0) return {};
            continue;
        }
        Ref method = Ref::steal(entries_method);
        Ref entries = call(method, bases);
        if (!entries) return {};
        if (!PyTuple_Check(entries)) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return {};
        }
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j) {
            if (PyList_Append(resolved, PyTuple_GET_ITEM(entries.get(), j)) < 0) return {};
        }
        replaced = true;
    }
    if (!replaced) return Ref::share(bases);
    original = Ref::share(bases);
    return Ref::steal(PyList_AsTuple(resolved));
}

// The most derived metaclass among the bases' types.
Ref most_derived_metaclass(PyObject* bases) noexcept {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                         "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                         "subclass of the metaclasses of all its bases");
        return {};
    }
    return Ref::share(reinterpret_cast<PyObject*>(winner));
}

}  // namespace

ClassStatement::ClassStatement(const Name& name, PyObject* base) noexcept : name_(name) {
    Ref written = Ref::steal(base != nullptr ? PyTuple_Pack(1, base) : PyTuple_New(0));
    if (!written) return;
    Ref original;
    bases_ = resolve_bases(written, original);
    if (!bases_) return;
    metaclass_ = most_derived_metaclass(bases_);
    if (!metaclass_) return;
    PyObject* prepare = nullptr;
    if (PyObject_GetOptionalAttr(metaclass_, n::dunder_prepare, &prepare) < 0) return;
    if (prepare != nullptr) {
        Ref prepare_method = Ref::steal(prepare);
        namespace_ = call(prepare_method, name_.object(), bases_.get());
    } else {
        namespace_ = Ref::steal(PyDict_New());
    }
    if (!namespace_) return;
    ok_ = set(n::dunder_module, Ref::share(module_name())) && set(n::dunder_qualname, Ref::share(name_)) &&
          (!original || set(n::dunder_orig_bases, std::move(original)));
}

bool ClassStatement::set(PyObject* key, const Ref& value) noexcept {
    return value && PyObject_SetItem(namespace_, key, value) == 0;
}

ClassStatement& ClassStatement::doc(const Text& text) noexcept {
    ok_ = ok_ && set(n::dunder_doc, Ref::share(text));
    return *this;
}

ClassStatement& ClassStatement::function(const Def& def) noexcept {
    ok_ = ok_ && set(*def.spec.name, make_function(def));
    return *this;
}

ClassStatement& ClassStatement::static_function(const Def& def) noexcept {
    if (ok_) {
        Ref function = make_function(def);
        ok_ = function && set(*def.spec.name, call(staticmethod_type(), function.get()));
    }
    return *this;
}

Ref ClassStatement::build() noexcept {
    if (!ok_) return {};
    return call(metaclass_, name_.object(), bases_.get(), namespace_.get());
}

}  // namespace frame
