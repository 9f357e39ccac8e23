// The operations a body's statements perform, as one-line calls that return owned results.
// Every helper returns an empty Ref (or false, or -1) with the exception set on failure.
#pragma once

#include <Python.h>

#include <cstddef>

#include "ref.h"

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

inline Ref getattr(PyObject* obj, PyObject* name) noexcept { return Ref::steal(PyObject_GetAttr(obj, name)); }

// obj[key] with Python's subscription semantics; integer keys are the caller's constants.
inline Ref getitem(PyObject* obj, PyObject* key) noexcept { return Ref::steal(PyObject_GetItem(obj, key)); }

// isinstance(obj, cls): 1, 0, or -1 with an exception.
inline int isinstance(PyObject* obj, PyObject* cls) noexcept { return PyObject_IsInstance(obj, cls); }

}  // namespace frame
