#include "record.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "python_internals.h"
#include "ref.h"
#include "state.h"

namespace frame {
namespace {

// Code objects for records, one per (site, line), made on first use and kept, so a hot loop
// that keeps failing does not rebuild them. A fixed table: the sites and lines of a module
// are few and known, and a full table only means the object is made afresh.
struct CodeCache {
    static constexpr size_t kSlots = 512;
    struct Slot {
        const Site* site;
        int line;
        PyObject* code;
    };
    Slot slots[kSlots] = {};

    PyObject** find(const Site* site, int line) noexcept {
        size_t h = (reinterpret_cast<uintptr_t>(site) >> 4) * 31u + static_cast<unsigned>(line);
        for (size_t probe = 0; probe < kSlots; ++probe) {
            Slot& slot = slots[(h + probe) % kSlots];
            if (slot.code == nullptr) {
                slot.site = site;
                slot.line = line;
                return &slot.code;
            }
            if (slot.site == site && slot.line == line) return &slot.code;
        }
        return nullptr;
    }
};

CodeCache code_cache;

// The code object of a record: its first line is the record's line, and the frame made
// from it reports exactly that line.
PyObject* record_code(const Site* site, int line) noexcept {
    PyObject** slot = code_cache.find(site, line);
    if (slot != nullptr && *slot != nullptr) return Py_NewRef(*slot);
    PyObject* code =
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(module_info().source_path, site->name(), line));
    if (code != nullptr && slot != nullptr) *slot = Py_NewRef(code);
    return code;
}

}  // namespace

void Site::set_name(const char* first, const char* separator, const char* second) noexcept {
    std::snprintf(name_, sizeof name_, "%s%s%s", first, separator, second);
}

PyObject* Site::fail(int line) const noexcept {
    // The exception in flight is set aside while the record is made, then put back
    // untouched; if the record cannot be made, it propagates without one.
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return nullptr;
    Ref code = Ref::steal(record_code(this, line));
    Ref record_frame = code ? Ref::steal(internals::record_frame(code.get(), module_dict())) : Ref();
    if (!record_frame) PyErr_Clear();
    PyErr_SetRaisedException(raised);
    // Fails only for lack of memory, and then chains the original to the MemoryError.
    if (record_frame) (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(record_frame.get()));
    return nullptr;
}

}  // namespace frame
