#include "platform/kernel_object.h"

#include <mutex>
#include <unordered_map>

namespace tovel::platform {
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 0x100;
};

HandleTable& table() {
    static HandleTable* instance = new HandleTable;  // lives until the process ends
    return *instance;
}

}  // namespace

HANDLE register_object(std::shared_ptr<KernelObject> object) {
    auto& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> lookup_object(HANDLE handle) {
    auto& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

bool close_object(HANDLE handle) {
    std::shared_ptr<KernelObject> released;  // destroyed outside the lock
    {
        auto& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        released = std::move(it->second);
        t.objects.erase(it);
    }
    return true;
}

}  // namespace tovel::platform
