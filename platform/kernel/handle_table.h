// The handle values of one kind of the layer's objects: a process-wide map
// from the value handed out to the object it stands for. Values start at a
// kind's own base, step by 4 and are never reused. Any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/win/errors.h"
#include "platform/win/types.h"

namespace tovel::platform {

template <class Object>
class HandleTable {
public:
    explicit HandleTable(uintptr_t first) : next_(first) {}

    uintptr_t add(std::shared_ptr<Object> object) {
        std::lock_guard<std::mutex> guard(lock_);
        uintptr_t value = next_;
        next_ += 4;
        objects_.emplace(value, std::move(object));
        return value;
    }
    // Null with ERROR_INVALID_HANDLE for a value not handed out (or removed).
    std::shared_ptr<Object> find(uintptr_t value) const {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = objects_.find(value);
        if (it == objects_.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return it->second;
    }
    // Takes the object out; the caller's copy is then the table's last, so
    // that it is destroyed outside the table's lock. Null as find.
    std::shared_ptr<Object> remove(uintptr_t value) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = objects_.find(value);
        if (it == objects_.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        std::shared_ptr<Object> object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

private:
    mutable std::mutex lock_;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects_;
    uintptr_t next_;
};

}  // namespace tovel::platform
