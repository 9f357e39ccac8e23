// The private interfaces of CPython that the runtime needs, and only here. CPython 3.14
// declares each of them in its headers but makes no promise that the next version keeps it,
// so each is wrapped below with the reason the public interface does not serve; building
// for another version starts by checking this file.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030E0000 || PY_VERSION_HEX >= 0x030F0000
#error "python_internals.h was checked against CPython 3.14: review each interface for this version"
#endif

namespace frame::internals {

// The value of the running thread's topmost handled-exception slot (PyThreadState::exc_info,
// of the private type _PyErr_StackItem). An except clause swaps it and puts back exactly what
// was there. PyErr_GetHandledException reads the nearest handled exception further down the
// stack instead; restoring that into a generator's own slot would leave the caller's exception
// behind in the generator once the handler ended.
inline PyObject** handled_exception_slot() noexcept { return &PyThreadState_Get()->exc_info->exc_value; }

// Whether a type or one of its bases defines `name` (_PyType_Lookup): the lookup through the
// type's cache that attribute access itself makes, with no descriptor called and no exception
// raised. PyObject_HasAttr on the type would also find the metatype's attributes.
inline bool type_defines(PyTypeObject* type, PyObject* name) noexcept { return _PyType_Lookup(type, name) != nullptr; }

// How the interpreter names a callable in its call errors, "module.qualname()"
// (_PyObject_FunctionStr), so that an error the runtime raises for a call reads as the
// interpreter's own. A new reference, or nullptr with an exception set.
inline PyObject* function_description(PyObject* callable) noexcept { return _PyObject_FunctionStr(callable); }

}  // namespace frame::internals
