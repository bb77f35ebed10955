// The callbacks through which the online side of a job (its web storage)
// reaches the job that owns it. The base answers every call with nothing:
// no credentials, no stop.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win/types.h"

class WebClientEventHandler {
public:
    virtual ~WebClientEventHandler() = default;

    // The user and password to log in again with, for the user of cookie (a
    // session the server refused). False when there are none; the outputs are
    // then as they were.
    virtual bool onAuthRequired(std::string& /*user*/, std::string& /*password*/,
                                const std::string& /*cookie*/) {
        return false;
    }
    // The server set newCookie for user in place of oldCookie; each may be null.
    virtual void onSetCookie(const char* /*user*/, const char* /*newCookie*/,
                             const char* /*oldCookie*/) {}
    // Transfer progress: the file's total size, the block number (from 1) and
    // the offset reached in that block.
    virtual void onProgress(uint64_t /*total*/, int64_t /*block*/, uint64_t /*offset*/) {}
    virtual void onError(DWORD /*code*/) {}
    // Whether the job must leave its loop (it was told to stop or pause),
    // waiting up to timeout milliseconds for such a request; 0 returns at
    // once. Called on the job's worker thread.
    virtual bool stopRequested(int /*timeout*/) { return false; }
};
