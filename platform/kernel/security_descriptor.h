// What the layer's security descriptors mean on the host. Internal to the
// layer.
#pragma once

#include <sys/types.h>

namespace tovel::platform {

// The permission bits that a descriptor made by
// ConvertStringSecurityDescriptorToSecurityDescriptorW or
// InitializeSecurityDescriptor gives the files and named objects created with
// it. own is false for a descriptor without an access list (the creator's
// default applies; mode is then untouched). False when descriptor is no
// descriptor of the layer.
bool file_mode_of_descriptor(const void* descriptor, mode_t& mode, bool& own);
// The same for the named kernel objects created with it: read bits let a
// class wait on the object (SYNCHRONIZE), write bits change its state.
bool object_mode_of_descriptor(const void* descriptor, mode_t& mode, bool& own);

}  // namespace tovel::platform
