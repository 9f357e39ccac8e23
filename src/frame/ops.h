// The operations a body's statements perform, as one-line calls that return owned results.
// Every helper returns an empty Ref (or false, or -1) with the exception set on failure.
#pragma once

#include <Python.h>

#include <cstddef>

#include "python_internals.h"
#include "ref.h"
#include "text.h"

namespace frame {

// func(args...) with positional arguments only; no argument tuple is built.
template <class... Args>
Ref call(PyObject* func, Args... args) noexcept {
    // Slot 0 is scratch space the callee may use to prepend an argument.
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_Vectorcall(func, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// func(positional..., **kw) where kwnames is a constant tuple naming the last len(kwnames)
// values.
template <class... Args>
Ref call_with_keywords(PyObject* func, PyObject* kwnames, Args... args) noexcept {
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    const size_t positional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(
        PyObject_Vectorcall(func, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// self.name(args...) without making a bound-method object.
template <class... Args>
Ref call_method(PyObject* self, PyObject* name, Args... args) noexcept {
    PyObject* stack[] = {self, static_cast<PyObject*>(args)...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)), nullptr));
}

// self.name(positional..., **kw), kwnames naming the last len(kwnames) values.
template <class... Args>
Ref call_method_with_keywords(PyObject* self, PyObject* name, PyObject* kwnames, Args... args) noexcept {
    PyObject* stack[] = {self, static_cast<PyObject*>(args)...};
    const size_t positional = 1 + sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_VectorcallMethod(name, stack, positional, kwnames));
}

// For module.name(...): the attribute found in an exact module's own dict, which is where
// the generic lookup would find it when the module type has no attribute of that name; it
// is then called like any other value, as `module.name(...)` calls it. Returns false, with
// nothing set, when the generic lookup must decide (another kind of object, a name the
// module type has, an attribute the dict lacks).
inline bool module_attribute(PyObject* self, const Name& name, Ref& found) noexcept {
    if (!PyModule_CheckExact(self) || !name.plain_module_attribute()) return false;
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(self), name.object(), &value) == 0) return false;
    found = Ref::steal(value);  // empty with the lookup's exception when it failed
    return true;
}

template <class... Args>
Ref call_method(PyObject* self, const Name& name, Args... args) noexcept {
    Ref attribute;
    if (module_attribute(self, name, attribute)) return attribute ? call(attribute.get(), args...) : Ref();
    return call_method(self, name.object(), args...);
}

template <class... Args>
Ref call_method_with_keywords(PyObject* self, const Name& name, PyObject* kwnames, Args... args) noexcept {
    Ref attribute;
    if (module_attribute(self, name, attribute)) {
        return attribute ? call_with_keywords(attribute.get(), kwnames, args...) : Ref();
    }
    return call_method_with_keywords(self, name.object(), kwnames, args...);
}

inline Ref getattr(PyObject* obj, PyObject* name) noexcept { return Ref::steal(PyObject_GetAttr(obj, name)); }
inline Ref getattr(PyObject* obj, const Name& name) noexcept { return getattr(obj, name.object()); }

// obj.name = value, for one of the module's names, which are interned already.
inline bool setattr(PyObject* obj, const Name& name, PyObject* value) noexcept {
    return internals::set_interned_attribute(obj, name.object(), value) == 0;
}

// obj[key] with Python's subscription semantics; integer keys are the caller's constants.
inline Ref getitem(PyObject* obj, PyObject* key) noexcept { return Ref::steal(PyObject_GetItem(obj, key)); }

// isinstance(obj, cls): 1, 0, or -1 with an exception.
inline int isinstance(PyObject* obj, PyObject* cls) noexcept { return PyObject_IsInstance(obj, cls); }

}  // namespace frame
