#include "raising.h"

#include "ops.h"

namespace frame {
namespace {

// An exception class is instantiated, an instance is used as it is; null with TypeError
// set otherwise.
Ref instantiate(PyObject* value, const char* not_an_exception) noexcept {
    if (PyExceptionInstance_Check(value)) return Ref::share(value);
    if (!PyExceptionClass_Check(value)) {
        PyErr_SetString(PyExc_TypeError, not_an_exception);
        return {};
    }
    Ref instance = call(value);
    if (instance && !PyExceptionInstance_Check(instance.get())) {
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                     value, reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
        return {};
    }
    return instance;
}

}  // namespace

PyObject* raise(PyObject* value, PyObject* cause) noexcept {
    Ref instance = instantiate(value, "raise: exception class must be a subclass of BaseException");
    if (!instance) return nullptr;
    if (cause != nullptr) {
        Ref cause_instance = instantiate(cause, "exception causes must derive from BaseException");
        if (!cause_instance) return nullptr;
        // The cause's reference goes to the exception.
        PyException_SetCause(instance.get(), cause_instance.release());
    }
    // PyErr_SetObject, unlike restoring a raised exception, chains the handled exception
    // as the context, as a raise statement does.
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    return nullptr;
}

PyObject* raise_new(PyObject* cls, PyObject* message, PyObject* cause) noexcept {
    if (cls == nullptr) return nullptr;
    Ref error = call(cls, message);
    return error ? raise(error.get(), cause) : nullptr;
}

Ref catch_exception() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    return Ref::steal(PyErr_GetRaisedException());
}

}  // namespace frame
