// A folder search shared by reference count between holders on one thread.
#pragma once

#include "platform/win32.h"

class find_file_handle {
public:
    struct record {
        int references = 1;
        HANDLE search = INVALID_HANDLE_VALUE;
        WIN32_FIND_DATAW data{};
        DWORD last_error = 0;  // 0 while the search goes on
    };

    // A holder with a new record whose search has not started.
    find_file_handle() : record_(new record) {}
    find_file_handle(const find_file_handle& other) : record_(other.record_) {
        if (record_) ++record_->references;
    }
    find_file_handle& operator=(const find_file_handle& other) {
        if (this != &other) {
            release();
            record_ = other.record_;
            if (record_) ++record_->references;
        }
        return *this;
    }
    ~find_file_handle() { release(); }

    // Starts the search; false (last error set and kept in the record) when
    // nothing matches or the folder cannot be read.
    bool first(const wchar_t* pattern);
    // Moves to the next entry; false at the end (record's last error 18).
    bool next();

    const WIN32_FIND_DATAW& data() const { return record_->data; }
    DWORD last_error() const { return record_ ? record_->last_error : ERROR_INVALID_HANDLE; }
    record* get() const { return record_; }

    // Drops this holder's reference: the last one closes the search (a close
    // failure is stored in the record) and frees the record; a negative count
    // is set to 0 and the record kept. The holder is empty afterwards.
    void release();

private:
    record* record_;
};
