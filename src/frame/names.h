// The interned identifiers and constant texts of a module.
#pragma once

#include <Python.h>

namespace frame {

// A Python string made once, when the module is prepared, and kept for the life of the
// process. Identifiers are interned, so their hash is computed once and dict lookups and
// keyword matching can compare by identity first.
//
// Names are declared as namespace-scope (inline) objects; each links itself into the
// library's list at static initialisation, and prepare_names() makes them all.
class Name {
public:
    explicit Name(const char* text) noexcept : text_(text), next_(head_) { head_ = this; }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    operator PyObject*() const noexcept { return object_; }
    PyObject* object() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }
    // True when the module type has no attribute of this name, so on a module object the
    // name can only be found in the module's own dict (the module type cannot change).
    bool plain_module_attribute() const noexcept { return plain_module_attribute_; }

    // Makes every name of the library not made yet; false with an exception set on failure.
    static bool prepare_all() noexcept;

private:
    const char* text_;
    Name* next_;
    PyObject* object_ = nullptr;
    bool plain_module_attribute_ = false;
    static inline Name* head_ = nullptr;
};

}  // namespace frame
