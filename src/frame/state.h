// The module's process-wide state: what a deliverable tells the runtime about itself, and what
// the create and exec steps keep for everything else to read.
#pragma once

#include <Python.h>

#include <cstdint>

namespace frame {

class Site;

// What a deliverable tells the runtime about itself.
struct ModuleInfo {
    const char* short_name;   // the name in the definition, e.g. "ferrovan"
    const char* dotted_name;  // e.g. "halcyra_pqc.ferrovan"
    const char* source_path;  // the file name its traceback records carry
    // Runs the module's statements. On failure it has recorded the failing line on the
    // body's site and returns false with the exception set.
    bool (*body)(const Site& site) noexcept;
};

// Kept once per process, not per module object: the definition reserves no module state,
// and the singleton reference keeps the one module object alive until the process ends.
// Only the create and exec steps write it; the rest of the runtime reads it through the
// accessors below, which are valid once the exec step has begun.
struct ProcessState {
    const ModuleInfo* info = nullptr;
    int64_t owner_interpreter = -1;
    PyObject* singleton = nullptr;
    PyObject* dict = nullptr;
    PyObject* builtins = nullptr;
    PyObject* builtins_dict = nullptr;
    PyObject* name = nullptr;
    PyObject* staticmethod = nullptr;
    // The loaded module's state block (empty: the definition reserves no state), which a
    // re-import replaces (internals::keep_module_state).
    void* module_state = nullptr;
};

extern ProcessState process;

inline const ModuleInfo& module_info() noexcept { return *process.info; }
// Borrowed references, all of them.
inline PyObject* module_dict() noexcept { return process.dict; }  // the globals of every function
inline PyObject* builtins_dict() noexcept { return process.builtins_dict; }
inline PyObject* module_name() noexcept { return process.name; }  // the dotted name, the functions' __module__
inline PyObject* staticmethod_type() noexcept { return process.staticmethod; }

}  // namespace frame
