// The private interfaces of CPython that the runtime needs, and only here. CPython 3.14
// declares each of them in its headers but makes no promise that the next version keeps it,
// so each is wrapped below with the reason the public interface does not serve; building
// for another version starts by checking this file.
#pragma once

#include <Python.h>
#include <frameobject.h>

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

// obj.name = value through the type's slot, for a name that is an interned exact str. That is
// all PyObject_SetAttr does for such a name once it has checked and interned it, which costs
// more than the store itself on the modules' hot paths; a type without the slot goes the
// public way.
inline int set_interned_attribute(PyObject* obj, PyObject* name, PyObject* value) noexcept {
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    return set != nullptr ? set(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

// The frame of a traceback record: a frame that never ran reports its code object's first line
// as its current line (PyFrame_New and the frame's line computation), so a code object made
// with the record's line as its first line gives a record at exactly that line. The public
// interface offers no way to add a record with a chosen line.
inline PyObject* record_frame(PyObject* code, PyObject* globals) noexcept {
    return reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
}

// The state block of the loaded module object, which a re-import hands back from the create
// step. For a module object the create step returns, PyModule_FromDefAndSpec forgets the block
// the object had (md_state = NULL) and the exec step allocates another (PyMem_Malloc, even for
// size 0), so every re-import would leak one. `kept` is the block last seen for this module
// object; the forgotten one is freed, since nothing else holds it, and the current one kept. A
// version that keeps the block finds it unchanged and frees nothing.
inline void keep_module_state(PyObject* module, void*& kept) noexcept {
    void* current = PyModule_GetState(module);
    if (current == kept) return;
    PyMem_Free(kept);
    kept = current;
}

}  // namespace frame::internals
