#include "lookup.h"

#include "compiler.h"
#include "state.h"

namespace frame {

Ref global(const Name& name) noexcept {
    PyObject* value = nullptr;
    // The names are interned with their hash cached, so each probe is one hash-table step.
    int found = PyDict_GetItemRef(module_dict(), name.object(), &value);
    if (found == 0) found = PyDict_GetItemRef(builtins_dict(), name.object(), &value);
    if (found == 0) raise_undefined(name);
    return Ref::steal(value);
}

HALCYRA_COLD void raise_undefined(const Name& name) noexcept {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.object());
}

bool assign(const Name& name, const Ref& value) noexcept {
    return value && PyDict_SetItem(module_dict(), name.object(), value.get()) == 0;
}

}  // namespace frame
