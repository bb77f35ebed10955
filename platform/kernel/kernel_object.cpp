#include "platform/kernel/kernel_object.h"

#include "platform/kernel/handle_table.h"

namespace tovel::platform {
namespace {

HandleTable<KernelObject>& table() {
    static auto* instance = new HandleTable<KernelObject>(0x100);  // lives until the process ends
    return *instance;
}

}  // namespace

HANDLE register_object(std::shared_ptr<KernelObject> object) {
    return reinterpret_cast<HANDLE>(table().add(std::move(object)));
}

std::shared_ptr<KernelObject> lookup_object(HANDLE handle) {
    return table().find(reinterpret_cast<uintptr_t>(handle));
}

bool close_object(HANDLE handle) {
    // The object is destroyed here, outside the table's lock.
    return table().remove(reinterpret_cast<uintptr_t>(handle)) != nullptr;
}

}  // namespace tovel::platform
