#include "common/find_file_handle.h"

bool find_file_handle::first(const wchar_t* pattern) {
    if (!record_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (record_->search != INVALID_HANDLE_VALUE && record_->search) FindClose(record_->search);
    record_->search = FindFirstFileW(pattern, &record_->data);
    record_->last_error = record_->search == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return record_->last_error == 0;
}

bool find_file_handle::next() {
    if (!record_ || record_->search == INVALID_HANDLE_VALUE || !record_->search) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (FindNextFileW(record_->search, &record_->data)) return true;
    record_->last_error = GetLastError();
    return false;
}

void find_file_handle::release() {
    if (record_) {
        if (record_->references >= 1 && --record_->references == 0) {
            if (!FindClose(record_->search)) record_->last_error = GetLastError();
            record_->search = nullptr;
            delete record_;
        } else if (record_->references < 0) {
            record_->references = 0;
        }
    }
    record_ = nullptr;
}
