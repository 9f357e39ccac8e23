#include "names.h"

namespace frame {

bool Name::prepare_all() noexcept {
    for (Name* name = head_; name != nullptr; name = name->next_) {
        if (name->object_ != nullptr) continue;  // made by an earlier, failed import
        name->object_ = PyUnicode_InternFromString(name->text_);
        if (name->object_ == nullptr) return false;
    }
    return true;
}

}  // namespace frame
