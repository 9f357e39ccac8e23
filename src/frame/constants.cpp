#include "constants.h"

namespace frame {

bool NameTuple::prepare_all() noexcept {
    for (NameTuple* t = head_; t != nullptr; t = t->next_) {
        if (t->tuple_ != nullptr) continue;
        t->tuple_ = PyTuple_New(t->count_);
        if (t->tuple_ == nullptr) return false;
        for (int i = 0; i < t->count_; ++i) PyTuple_SET_ITEM(t->tuple_, i, Py_NewRef(t->items_[i]->object()));
    }
    return true;
}

}  // namespace frame
