// The module definition, its create and exec steps, and the process-wide module state.
#pragma once

#include <Python.h>

#include "record.h"

namespace frame {

// What a deliverable tells the runtime about itself.
struct ModuleInfo {
    const char* short_name;   // the name in the definition, e.g. "ferrovan"
    const char* dotted_name;  // e.g. "halcyra_pqc.ferrovan"
    const char* source_path;  // the file name its traceback records carry
    // Runs the module's statements. On failure it has recorded the failing line on the
    // body's site and returns false with the exception set.
    bool (*body)(const Site& site) noexcept;
};

// The entry point's work: returns the initialised definition for multi-phase loading.
PyObject* initialise(const ModuleInfo& info) noexcept;

// Process-wide state, valid once the exec step has begun.
const ModuleInfo& module_info() noexcept;
PyObject* module_dict() noexcept;     // borrowed; the globals of every function
PyObject* builtins_dict() noexcept;   // borrowed
PyObject* module_name() noexcept;     // borrowed; the dotted name, the functions' __module__
PyObject* staticmethod_type() noexcept;  // borrowed

}  // namespace frame
