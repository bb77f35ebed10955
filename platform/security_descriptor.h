// What the layer's security descriptors mean on the host. Internal to the
// layer.
#pragma once

#include <sys/types.h>

namespace tovel::platform {

// The permission bits that a descriptor made by
// ConvertStringSecurityDescriptorToSecurityDescriptorW gives the files created
// with it; false when descriptor is no such descriptor.
bool file_mode_of_descriptor(const void* descriptor, mode_t& mode);

}  // namespace tovel::platform
