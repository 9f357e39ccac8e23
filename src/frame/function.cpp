#include "function.h"

#include <cstddef>

#include "binding.h"
#include "state.h"

namespace frame {
namespace {

// One type serves every function and method of the module. Calls go through vectorcall,
// so no argument tuple is built; as a method descriptor, `obj.method(...)` is called
// without a bound-method object.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Def* def;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

PyTypeObject* function_type = nullptr;

FunctionObject* as_function(PyObject* self) noexcept { return reinterpret_cast<FunctionObject*>(self); }
const FunctionSpec& spec_of(PyObject* self) noexcept { return as_function(self)->def->spec; }

PyObject* none_if_null(PyObject* value) noexcept { return Py_NewRef(value != nullptr ? value : Py_None); }

PyObject* dispatch(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    const Def& def = *as_function(self)->def;
    PyObject* slots[kMaxParams];
    PyObject* const* bound = bind(def, args, nargsf, kwnames, slots);
    if (bound == nullptr) return def.fail(def.spec.line);
    // Rebound globals can make the bodies call each other without end, entirely in C: that
    // must end in RecursionError, as it would in Python, not in a stack overflow. As for a
    // Python call that cannot start, the caller's statement records the error.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = def.body.with_extras != nullptr
                           ? def.body.with_extras(def, bound, Extras(args, PyVectorcall_NARGS(nargsf), kwnames,
                                                                     def.n_params))
                           : def.body.plain(def, bound);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(spec_of(self).name->object()); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(spec_of(self).qualname->object()); }
PyObject* get_module(PyObject*, void*) noexcept { return Py_NewRef(module_name()); }
PyObject* get_globals(PyObject*, void*) noexcept { return Py_NewRef(module_dict()); }
PyObject* get_code(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->def->code()); }
PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->annotations); }
PyObject* get_doc(PyObject* self, void*) noexcept {
    const Text* doc = spec_of(self).doc;
    return none_if_null(doc != nullptr ? doc->object() : nullptr);
}
PyObject* get_defaults(PyObject* self, void*) noexcept {
    return none_if_null(as_function(self)->def->defaults());
}

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Functions pickle and copy by reference, as Python functions do: by module and qualified name.
PyObject* reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(spec_of(self).qualname->object()); }

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Looked up on an instance, a function binds as a method, like a Python function.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", spec_of(self).qualname->object(), self);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_function(self)->annotations);
    Py_VISIT(as_function(self)->dict);
    return 0;
}

int clear(PyObject* self) noexcept {
    Py_CLEAR(as_function(self)->annotations);
    Py_CLEAR(as_function(self)->dict);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "halcyra_pqc.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

bool prepare_function_type() noexcept {
    if (function_type == nullptr) {
        function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    }
    return function_type != nullptr;
}

Ref make_function(const Def& def) noexcept {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const Annotation& a : def.spec.annotations) {
        if (a.key == nullptr) break;
        if (PyDict_SetItem(annotations.get(), a.key->object(), a.value->object()) < 0) return {};
    }
    FunctionObject* fn = PyObject_GC_New(FunctionObject, function_type);
    if (fn == nullptr) return {};
    fn->vectorcall = dispatch;
    fn->def = &def;
    fn->annotations = annotations.release();
    fn->dict = nullptr;
    fn->weakrefs = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace frame
