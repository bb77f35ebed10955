// The handle table: every HANDLE of the layer names a KernelObject held here.
#pragma once

#include <memory>

#include "platform/win/types.h"

namespace tovel::platform {

class KernelObject {
public:
    virtual ~KernelObject() = default;
};

// Registers an object and returns its new handle (never reused in a process).
HANDLE register_object(std::shared_ptr<KernelObject> object);

// The object of a handle, or null (last error 6) when the handle is unknown or
// of another type. The object stays alive while the caller holds the pointer,
// even when another thread closes the handle meanwhile.
std::shared_ptr<KernelObject> lookup_object(HANDLE handle);
template <class T>
std::shared_ptr<T> lookup(HANDLE handle);

// Removes the handle; the object is destroyed when its last user lets go.
// False (last error 6) when the handle is unknown.
bool close_object(HANDLE handle);

}  // namespace tovel::platform

#include "platform/win/errors.h"

template <class T>
std::shared_ptr<T> tovel::platform::lookup(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<T>(lookup_object(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}
