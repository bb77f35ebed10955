#include "platform/net/winhttp_handles.h"

#include "platform/kernel/handle_table.h"

namespace tovel::platform::winhttp {
namespace {

HandleTable<InternetObject>& table() {
    static auto* instance =
        new HandleTable<InternetObject>(0x1000);  // lives until the process ends
    return *instance;
}

}  // namespace

HINTERNET add_handle(std::shared_ptr<InternetObject> object) {
    return reinterpret_cast<HINTERNET>(table().add(std::move(object)));
}

std::shared_ptr<InternetObject> find_handle(HINTERNET handle) {
    return table().find(reinterpret_cast<uintptr_t>(handle));
}

std::shared_ptr<InternetObject> remove_handle(HINTERNET handle) {
    return table().remove(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace tovel::platform::winhttp
