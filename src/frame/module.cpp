#include "module.h"

#include <cstdint>

#include "constants.h"
#include "frame_names.h"
#include "function.h"
#include "ops.h"
#include "ref.h"

#ifndef HALCYRA_COMPILED_FOR_MAJOR
#define HALCYRA_COMPILED_FOR_MAJOR PY_MAJOR_VERSION
#endif
#ifndef HALCYRA_COMPILED_FOR_MINOR
#define HALCYRA_COMPILED_FOR_MINOR PY_MINOR_VERSION
#endif

namespace frame {
namespace {

// Kept once per process, not per module object: the definition reserves no module state,
// and the singleton reference keeps the one module object alive until the process ends.
struct State {
    const ModuleInfo* info = nullptr;
    int64_t owner_interpreter = -1;
    PyObject* singleton = nullptr;
    PyObject* dict = nullptr;
    PyObject* builtins = nullptr;
    PyObject* builtins_dict = nullptr;
    PyObject* name = nullptr;
    PyObject* staticmethod = nullptr;
    // The loaded module's state block (empty: the definition reserves no state), see exec().
    void* module_state = nullptr;
    Site body_site;
};

State state;

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
    return PyDict_SetItemString(dict, state.info->dotted_name, Py_True) == 0;
}

// 1 when this is the owner interpreter, 0 when it is another, -1 with an exception set.
int is_owner(PyInterpreterState* interpreter, int64_t id) noexcept {
    if (id != state.owner_interpreter) return 0;
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    return dict != nullptr ? PyDict_ContainsString(dict, state.info->dotted_name) : 0;
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const int64_t id = PyInterpreterState_GetID(interpreter);
    if (id < 0) return nullptr;
    if (state.owner_interpreter == -1) {
        if (!mark_owner(interpreter)) return nullptr;
        state.owner_interpreter = id;
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
    if (state.singleton != nullptr) return Py_NewRef(state.singleton);

    // The names are made by the exec step, so the create step spells its attributes out.
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name));
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
        if (PyObject_SetAttrString(module, copy.to, owned) < 0) return nullptr;
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
                  HALCYRA_COMPILED_FOR_MAJOR, HALCYRA_COMPILED_FOR_MINOR, state.info->dotted_name,
                  "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

// Preparation steps 1 to 5: no record is added for their failures.
bool prepare_module(PyObject* module) noexcept {
    state.singleton = Py_NewRef(module);
    PyObject* dict = PyModule_GetDict(module);
    if (dict == nullptr) return false;
    Py_XSETREF(state.dict, Py_NewRef(dict));
    PyObject* builtins = PyImport_AddModuleRef("builtins");
    if (builtins == nullptr) return false;
    Py_XSETREF(state.builtins, builtins);
    state.builtins_dict = PyModule_GetDict(state.builtins);
    if (PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0) return false;
    if (!check_version()) return false;
    if (!Text::prepare_all() || !prepare_function_type()) return false;
    if (state.name == nullptr) {
        state.name = PyUnicode_InternFromString(state.info->dotted_name);
        if (state.name == nullptr) return false;
    }
    state.body_site.set_name("init", " ", state.info->dotted_name);
    return true;
}

// Preparation steps 6 to 8, whose failures are recorded at line 1.
bool prepare_constants(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, state.name);
    if (present < 0 || (present == 0 && PyDict_SetItem(modules, state.name, module) < 0)) return false;
    if (state.staticmethod == nullptr) {
        if (PyObject_GetOptionalAttr(state.builtins, n::staticmethod, &state.staticmethod) < 0) return false;
        if (state.staticmethod == nullptr) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", n::staticmethod.object());
            return false;
        }
    }
    return NameTuple::prepare_all() && Def::prepare_all();
}

// After a failed exec only the singleton goes. The globals stay until the next attempt
// replaces them: functions the failed body made may still be reachable (a sys.modules entry
// it made, a traceback) and must find a dict to look their globals up in.
void release_module() noexcept { Py_CLEAR(state.singleton); }

int exec(PyObject* module) noexcept {
    if (state.singleton != nullptr) {
        if (state.singleton == module) {
            // A re-import gets the loaded module from the create step, and the import system
            // then drops the module's state block and allocates another without freeing the
            // first: free it here, or every re-import leaks a block.
            void* current = PyModule_GetState(module);
            if (current != state.module_state) {
                PyMem_Free(state.module_state);
                state.module_state = current;
            }
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.info->short_name);
        return -1;
    }
    state.module_state = PyModule_GetState(module);
    if (!prepare_module(module)) {
        release_module();
        return -1;
    }
    if (!prepare_constants(module)) {
        state.body_site.fail(1);
        release_module();
        return -1;
    }
    if (!state.info->body(state.body_site)) {
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
    state.info = &info;
    definition.m_name = info.short_name;
    return PyModuleDef_Init(&definition);
}

const ModuleInfo& module_info() noexcept { return *state.info; }
PyObject* module_dict() noexcept { return state.dict; }
PyObject* builtins_dict() noexcept { return state.builtins_dict; }
PyObject* module_name() noexcept { return state.name; }
PyObject* staticmethod_type() noexcept { return state.staticmethod; }

}  // namespace frame
