#include "tray/job_record.h"

#include <cstring>
#include <new>

namespace {

constexpr std::align_val_t kAlign{alignof(JobActivity)};

}  // namespace

JobRecord::~JobRecord() {
    if (opened_) handle_.close();
    delete definition_;
    if (cached_) ::operator delete(cached_, kAlign);
}

bool JobRecord::open() {
    if (opened_) return true;
    if (!definition_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!handle_.open(definition_->id(), false)) return false;
    live_ = handle_.get();
    opened_ = true;
    return true;
}

JobActivity* JobRecord::activity() { return open() ? live_ : nullptr; }

bool JobRecord::updateCache() {
    if (!live_) return false;
    if (!cached_)
        cached_ = static_cast<JobActivity*>(::operator new(JobActivity::kBaseSize, kAlign));
    // The service writes the record meanwhile: a field torn between two of
    // its stores is tolerated (the next copy mends it).
    std::memcpy(static_cast<void*>(cached_), static_cast<const void*>(live_),
                JobActivity::kBaseSize);
    return true;
}
