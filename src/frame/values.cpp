#include "values.h"

#include "compiler.h"
#include "python_internals.h"

namespace frame {
namespace {

HALCYRA_COLD void raise_too_many(Py_ssize_t expected) noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

HALCYRA_COLD void raise_too_few(Py_ssize_t found) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

HALCYRA_COLD void raise_not_iterable(PyObject* func, PyObject* value) noexcept {
    Ref described = Ref::steal(internals::function_description(func));
    if (described) {
        PyErr_Format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s", described.get(),
                     Py_TYPE(value)->tp_name);
    }
}

}  // namespace

bool unpack(PyObject* value, Ref* out, Py_ssize_t count) noexcept {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t size = Py_SIZE(value);
        if (size != count) {
            size > count ? raise_too_many(count) : raise_too_few(size);
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(value);
        for (Py_ssize_t i = 0; i < count; ++i) out[i] = Ref::share(items[i]);
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        out[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) raise_too_few(i);
            return false;
        }
    }
    // The iterator must end after the last name is filled.
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) raise_too_many(count);
    return !PyErr_Occurred();
}

Ref expect_exact_or_none(Ref value, PyTypeObject* expected) noexcept {
    if (!value || Py_IS_TYPE(value.get(), expected) || value.get() == Py_None) return value;
    Ref got = Ref::steal(PyType_GetName(Py_TYPE(value.get())));
    if (got) PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200U", expected->tp_name, got.get());
    return {};
}

Ref call_unpacked(PyObject* func, PyObject* iterable) noexcept {
    Ref items;
    if (PyTuple_CheckExact(iterable)) {
        items = Ref::share(iterable);
    } else if (Py_TYPE(iterable)->tp_iter == nullptr && !PySequence_Check(iterable)) {
        raise_not_iterable(func, iterable);
        return {};
    } else {
        items = Ref::steal(PySequence_Tuple(iterable));
        if (!items) return {};
    }
    return Ref::steal(PyObject_Call(func, items.get(), nullptr));
}

}  // namespace frame
