// Constant tuples of a module, made with its other constants.
#pragma once

#include <Python.h>

#include "text.h"

namespace frame {

// A tuple of names (keyword-name tuples for calls, fixed candidate lists), made once when
// the module is prepared. Declared as namespace-scope objects, like Name.
class NameTuple {
public:
    static constexpr int kMaxItems = 8;
    template <class... Items>
    explicit NameTuple(const Items&... items) noexcept : items_{&items...}, count_(sizeof...(Items)), next_(head_) {
        static_assert(sizeof...(Items) <= kMaxItems, "too many items for a NameTuple");
        head_ = this;
    }
    NameTuple(const NameTuple&) = delete;
    NameTuple& operator=(const NameTuple&) = delete;

    // Borrowed; lives as long as the process.
    PyObject* object() const noexcept { return tuple_; }

    static bool prepare_all() noexcept;

private:
    const Name* items_[kMaxItems] = {};
    int count_ = 0;
    PyObject* tuple_ = nullptr;
    NameTuple* next_;
    static inline NameTuple* head_ = nullptr;
};

}  // namespace frame
