#include "platform/winhttp_handles.h"

#include <unordered_map>

namespace tovel::platform::winhttp {
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<InternetObject>> objects;
    uintptr_t next = 0x1000;
};

HandleTable& table() {
    static HandleTable* instance = new HandleTable;  // lives until the process ends
    return *instance;
}

}  // namespace

HINTERNET add_handle(std::shared_ptr<InternetObject> object) {
    HandleTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HINTERNET>(value);
}

std::shared_ptr<InternetObject> find_handle(HINTERNET handle) {
    HandleTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<InternetObject> remove_handle(HINTERNET handle) {
    HandleTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::shared_ptr<InternetObject> object = std::move(it->second);
    t.objects.erase(it);
    return object;
}

}  // namespace tovel::platform::winhttp
