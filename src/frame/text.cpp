#include "text.h"

#include "python_internals.h"

namespace frame {

bool Text::prepare_all() noexcept {
    for (Text* text = head_; text != nullptr; text = text->next_) {
        // Made already by an earlier, failed import.
        if (text->object_ == nullptr && !text->make()) return false;
    }
    return true;
}

bool Text::make() noexcept {
    object_ = PyUnicode_FromString(text());
    return object_ != nullptr;
}

bool Name::make() noexcept {
    object_ = PyUnicode_InternFromString(text());
    if (object_ == nullptr) return false;
    // Cached in the string from now on: dict probes and keyword matching never rehash.
    if (PyObject_Hash(object_) == -1) return false;
    plain_module_attribute_ = !internals::type_defines(&PyModule_Type, object_);
    return true;
}

}  // namespace frame
