#include "imports.h"

#include "lookup.h"
#include "state.h"

namespace frame {
namespace {

Ref import_machinery(PyObject* name, PyObject* fromlist) noexcept {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name, module_dict(), locals.get(), fromlist, 0));
}

// True when the module already offers every name, so the import machinery is not needed.
int offers_all(PyObject* module, std::initializer_list<const Name*> names) noexcept {
    for (const Name* name : names) {
        const int has = PyObject_HasAttrWithError(module, name->object());
        if (has <= 0) return has;
    }
    return 1;
}

// A name the module does not have as an attribute may be a submodule already imported.
Ref imported_name(PyObject* module, PyObject* module_name, PyObject* name) noexcept {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module, name, &value) != 0) return Ref::steal(value);
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, name));
    if (!full_name) return {};
    Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
    if (!submodule && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return submodule;
}

// The module a from-import takes its names from: the one in sys.modules when it offers them
// all already, otherwise what the import machinery returns for this from-list.
Ref source_module(PyObject* module_name, std::initializer_list<const Name*> names) noexcept {
    Ref module = Ref::steal(PyImport_GetModule(module_name));
    if (!module && PyErr_Occurred()) return {};
    const int ready = module ? offers_all(module.get(), names) : 0;
    if (ready < 0) return {};
    if (ready > 0) return module;
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return {};
    for (const Name* name : names) {
        if (PyList_Append(fromlist.get(), name->object()) < 0) return {};
    }
    return import_machinery(module_name, fromlist.get());
}

}  // namespace

Ref import_module(const Name& name) noexcept {
    Ref module = Ref::steal(PyImport_GetModule(name.object()));
    if (PyErr_Occurred()) return {};
    // None in sys.modules blocks the import: the machinery raises for it, as for `import name`.
    if (module && module.get() != Py_None) return module;
    return import_machinery(name.object(), Py_None);
}

bool import_names(const Name& module_name, std::initializer_list<const Name*> names) noexcept {
    Ref module = source_module(module_name.object(), names);
    if (!module) return false;
    for (const Name* name : names) {
        if (!assign(*name, imported_name(module.get(), module_name.object(), name->object()))) return false;
    }
    return true;
}

Ref import_from(const Name& module_name, const Name& name) noexcept {
    Ref module = source_module(module_name.object(), {&name});
    return module ? imported_name(module.get(), module_name.object(), name.object()) : Ref();
}

}  // namespace frame
