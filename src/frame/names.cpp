#include "names.h"

#include "python_internals.h"

namespace frame {

bool Name::prepare_all() noexcept {
    for (Name* name = head_; name != nullptr; name = name->next_) {
        if (name->object_ != nullptr) continue;  // made by an earlier, failed import
        name->object_ = PyUnicode_InternFromString(name->text_);
        if (name->object_ == nullptr) return false;
        // Cached in the string from now on: dict probes and keyword matching never rehash.
        if (PyObject_Hash(name->object_) == -1) return false;
        name->plain_module_attribute_ = !internals::type_defines(&PyModule_Type, name->object_);
    }
    return true;
}

}  // namespace frame
