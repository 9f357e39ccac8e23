#include "module.h"

#include <cstdint>

#include "constants.h"
#include "definition.h"
#include "function.h"
#include "lookup.h"
#include "python_internals.h"
#include "python_names.h"
#include "record.h"
#include "ref.h"
#include "text.h"

#ifndef HALCYRA_COMPILED_FOR_MAJOR
#define HALCYRA_COMPILED_FOR_MAJOR PY_MAJOR_VERSION
#endif
#ifndef HALCYRA_COMPILED_FOR_MINOR
#define HALCYRA_COMPILED_FOR_MINOR PY_MINOR_VERSION
#endif

namespace frame {
namespace {

// The body's traceback records, "init <dotted name>".
Site body_site;

// The owner interpreter carries a marker in its per-interpreter dict. Finalizing the
// interpreter clears that dict, so an interpreter initialised after it, which may have the
// same ID, is told apart: the state was made by and for the finalized one, and its objects
// are gone with it.
bool mark_owner(PyInterpreterState* interpreter) noexcept {
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    if (dict == nullptr) {
        PyErr_NoMemory();  // the dict is made on first request; only memory can lack
        return false;
    }
    return PyDict_SetItemString(dict, process.info->dotted_name, Py_True) == 0;
}

// 1 when this is the owner interpreter, 0 when it is another, -1 with an exception set.
int is_owner(PyInterpreterState* interpreter, int64_t id) noexcept {
    if (id != process.owner_interpreter) return 0;
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    return dict != nullptr ? PyDict_ContainsString(dict, process.info->dotted_name) : 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const int64_t id = PyInterpreterState_GetID(interpreter);
    if (id < 0) return nullptr;
    if (process.owner_interpreter == -1) {
        if (!mark_owner(interpreter)) return nullptr;
        process.owner_interpreter = id;
    } else {
        const int owner = is_owner(interpreter, id);
        if (owner < 0) return nullptr;
        if (owner == 0) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
            return nullptr;
        }
    }
    if (process.singleton != nullptr) return Py_NewRef(process.singleton);

    // The names are made by the exec step, so the create step spells its attributes out.
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    struct Copy {
        const char* from;
        const char* to;
        bool skip_none;
    };
    const Copy copies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (const Copy& copy : copies) {
        PyObject* value = nullptr;
        // A missing spec attribute is skipped; any other error fails the step.
        if (PyObject_GetOptionalAttrString(spec, copy.from, &value) < 0) return nullptr;
        Ref owned = Ref::steal(value);
        if (!owned || (copy.skip_none && owned.get() == Py_None)) continue;
        if (PyObject_SetAttrString(module.get(), copy.to, owned.get()) < 0) return nullptr;
    }
    return module.release();
}

// A runtime of another major.minor version than the one compiled for warns, and fails
// when warnings are errors.
bool check_version() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == HALCYRA_COMPILED_FOR_MAJOR && minor == HALCYRA_COMPILED_FOR_MINOR) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  HALCYRA_COMPILED_FOR_MAJOR, HALCYRA_COMPILED_FOR_MINOR, process.info->dotted_name,
                  "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

// Preparation steps 1 to 5: no record is added for their failures.
bool prepare_module(PyObject* module) noexcept {
    process.singleton = Py_NewRef(module);
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) return false;
    Py_XSETREF(process.dict, Py_NewRef(dict));
    PyObject* builtins = PyImport_AddModuleRef("builtins");
    if (builtins == nullptr) return false;
    Py_XSETREF(process.builtins, builtins);
    process.builtins_dict = PyModule_GetDict(process.builtins);
    if (PyObject_SetAttrString(module, "__builtins__", process.builtins) < 0) return false;
    if (!check_version()) return false;
    if (!Text::prepare_all() || !prepare_function_type()) return false;
    if (process.name == nullptr) {
        process.name = PyUnicode_InternFromString(process.info->dotted_name);
        if (process.name == nullptr) return false;
    }
    body_site.set_name("init", " ", process.info->dotted_name);
    return true;
}

// Preparation steps 6 to 8, whose failures are recorded at line 1.
bool prepare_constants(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, process.name);
    if (present < 0 || (present == 0 && PyDict_SetItem(modules, process.name, module) < 0)) return false;
    if (process.staticmethod == nullptr) {
        if (PyObject_GetOptionalAttr(process.builtins, n::staticmethod.object(), &process.staticmethod) < 0) {
            return false;
        }
        if (process.staticmethod == nullptr) {
            raise_undefined(n::staticmethod);
            return false;
        }
    }
    return NameTuple::prepare_all() && Def::prepare_all();
}

// After a failed exec only the singleton goes. The globals stay until the next attempt
// replaces them: functions the failed body made may still be reachable (a sys.modules entry
// it made, a traceback) and must find a dict to look their globals up in.
void release_module() noexcept { Py_CLEAR(process.singleton); }

int exec(PyObject* module) noexcept {
    if (process.singleton != nullptr) {
        if (process.singleton == module) {
            // A re-import gets the loaded module from the create step.
            internals::keep_module_state(module, process.module_state);
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     process.info->short_name);
        return -1;
    }
    // A fresh module object owns its block: it is only recorded, for the re-imports.
    process.module_state = PyModule_GetState(module);
    if (!prepare_module(module)) {
        release_module();
        return -1;
    }
    if (!prepare_constants(module)) {
        body_site.fail(kPreparationLine);
        release_module();
        return -1;
    }
    if (!process.info->body(body_site)) {
        release_module();
        return -1;
    }
    return 0;
}

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // m_name, from the module's info
    nullptr,
    0,
    no_methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* initialise(const ModuleInfo& info) noexcept {
    process.info = &info;
    definition.m_name = info.short_name;
    return PyModuleDef_Init(&definition);
}

bool define(const Def& def) noexcept { return assign(*def.spec.name, make_function(def)); }

bool define(const ClassSpec& spec) noexcept { return assign(*spec.name, class_statement(spec)); }

}  // namespace frame
