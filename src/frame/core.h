// The one piece of the post-quantum core's contract that both modules apply themselves.
#pragma once

#include <Python.h>

#include "ref.h"

namespace frame {

// Packs what pqc_encrypt_payload returned, given its length: four items are the hybrid
// form and go to the module global pack_name in order; any other length is the pure form,
// of which items 0 to 2 go as (item 0, None, item 1, item 2). The global is looked up
// before the items are read.
Ref pack_core_result(PyObject* res, Py_ssize_t length, PyObject* pack_name) noexcept;

}  // namespace frame
