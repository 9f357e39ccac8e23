// The identifiers and constant texts of a module.
#pragma once

#include <Python.h>

namespace frame {

// A Python string made once, when the module is prepared, and kept for the life of the
// process: a docstring, a message, a default value or another plain text.
//
// Texts are declared as namespace-scope (inline) objects; each links itself into the
// library's list at static initialisation, and prepare_all() makes them all.
class Text {
public:
    explicit Text(const char* text) noexcept : text_(text), next_(head_) { head_ = this; }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    // Borrowed; lives as long as the process.
    PyObject* object() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

    // Makes every text and name of the library not made yet; false with an exception set.
    static bool prepare_all() noexcept;

protected:
    // Makes object_ from text_.
    virtual bool make() noexcept;
    PyObject* object_ = nullptr;

private:
    const char* text_;
    Text* next_;
    static inline Text* head_ = nullptr;
};

// An identifier: a text that names something. It is interned, so its hash is computed once
// and dict lookups and keyword matching can compare by identity first.
class Name final : public Text {
public:
    using Text::Text;

    // True when the module type has no attribute of this name, so on a module object the
    // name can only be found in the module's own dict (the module type cannot change).
    bool plain_module_attribute() const noexcept { return plain_module_attribute_; }

private:
    bool make() noexcept override;
    bool plain_module_attribute_ = false;
};

}  // namespace frame
