#include "classes.h"

#include "function.h"
#include "ops.h"
#include "python_names.h"
#include "state.h"

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
        if (!PyType_Check(base) && PyObject_GetOptionalAttr(base, n::dunder_mro_entries.object(), &entries_method) < 0) {
            return {};
        }
        if (entries_method == nullptr) {
            if (PyList_Append(resolved.get(), base) < 0) return {};
            continue;
        }
        Ref method = Ref::steal(entries_method);
        Ref entries = call(method.get(), bases);
        if (!entries) return {};
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return {};
        }
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j) {
            if (PyList_Append(resolved.get(), PyTuple_GET_ITEM(entries.get(), j)) < 0) return {};
        }
        replaced = true;
    }
    if (!replaced) return Ref::share(bases);
    original = Ref::share(bases);
    return Ref::steal(PyList_AsTuple(resolved.get()));
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

// The namespace a class statement fills: __module__, __qualname__, __orig_bases__ when the
// bases were replaced, the docstring, then the members.
bool fill(PyObject* ns, const ClassSpec& spec, PyObject* original) noexcept {
    const auto set = [ns](const Name& key, const Ref& value) {
        return value && PyObject_SetItem(ns, key.object(), value.get()) == 0;
    };
    if (!set(n::dunder_module, Ref::share(module_name())) || !set(n::dunder_qualname, Ref::share(spec.name->object())) ||
        (original != nullptr && !set(n::dunder_orig_bases, Ref::share(original))) ||
        (spec.doc != nullptr && !set(n::dunder_doc, Ref::share(spec.doc->object())))) {
        return false;
    }
    for (const ClassSpec::Member& member : spec.members) {
        if (member.def == nullptr) break;
        Ref function = make_function(*member.def);
        if (function && member.is_static) function = call(staticmethod_type(), function.get());
        if (!set(*member.def->spec.name, function)) return false;
    }
    return true;
}

}  // namespace

Ref class_statement(const ClassSpec& spec) noexcept {
    Ref written = Ref::steal(spec.base != nullptr ? PyTuple_Pack(1, *spec.base) : PyTuple_New(0));
    if (!written) return {};
    Ref original;
    Ref bases = resolve_bases(written.get(), original);
    Ref metaclass = bases ? most_derived_metaclass(bases.get()) : Ref();
    if (!metaclass) return {};
    PyObject* prepare = nullptr;
    if (PyObject_GetOptionalAttr(metaclass.get(), n::dunder_prepare.object(), &prepare) < 0) return {};
    Ref ns;
    if (prepare != nullptr) {
        Ref prepare_method = Ref::steal(prepare);
        ns = call(prepare_method.get(), spec.name->object(), bases.get());
    } else {
        ns = Ref::steal(PyDict_New());
    }
    if (!ns || !fill(ns.get(), spec, original.get())) return {};
    return call(metaclass.get(), spec.name->object(), bases.get(), ns.get());
}

}  // namespace frame
