// A flag by which the server tells native work running in a worker thread
// that its client has gone: set on the event loop, read without the
// interpreter lock between blocks of the work. It travels between the
// modules as a capsule that owns its share of the flag.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <memory>

namespace tavix {

namespace nb = nanobind;

using CancelFlag = std::shared_ptr<std::atomic<bool>>;

inline constexpr const char *kCancelCapsuleName = "tavix.cancel_flag";

// A new flag, unset, and its capsule.
inline nb::object cancel_capsule(const CancelFlag &flag) {
    auto *owned = new CancelFlag(flag);
    PyObject *capsule = PyCapsule_New(owned, kCancelCapsuleName, [](PyObject *self) {
        delete static_cast<CancelFlag *>(PyCapsule_GetPointer(self, kCancelCapsuleName));
    });
    if (!capsule) {
        delete owned;
        throw nb::python_error();
    }
    return nb::steal(capsule);
}

// The flag a capsule carries; an empty one for None. Raises TypeError for
// anything else.
inline CancelFlag cancel_flag_of(nb::handle capsule) {
    if (capsule.is_none())
        return {};
    void *pointer = PyCapsule_GetPointer(capsule.ptr(), kCancelCapsuleName);
    if (!pointer)
        throw nb::python_error();
    return *static_cast<CancelFlag *>(pointer);
}

inline bool cancelled(const CancelFlag &flag) { return flag && flag->load(std::memory_order_relaxed); }

}  // namespace tavix
