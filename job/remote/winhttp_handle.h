// Owners of WinHTTP handles, and the base of an asynchronous request whose
// notifications a derived class handles. Exported whole: the field order and
// the order of the virtual operations are part of the library's contract.
#pragma once

#include <deque>

#include "common/holders.h"
#include "platform/win32.h"

// Owns one HINTERNET (null: none) and closes it when destroyed. Not copyable.
class WinHttpHandle {
public:
    explicit WinHttpHandle(HINTERNET handle = nullptr) : handle_(handle) {}
    virtual ~WinHttpHandle() { close(); }
    WinHttpHandle(const WinHttpHandle&) = delete;
    WinHttpHandle& operator=(const WinHttpHandle&) = delete;

    HINTERNET get() const { return handle_; }
    // Takes a handle, closing the one held before.
    void attach(HINTERNET handle) {
        close();
        handle_ = handle;
    }
    // Gives the handle up without closing it (for a caller that closed it).
    HINTERNET release() {
        HINTERNET handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void close() {
        if (handle_) WinHttpCloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HINTERNET handle_;
};

class WinHttpSession : public WinHttpHandle {};
class WinHttpConnection : public WinHttpHandle {};

// A request handle with what its callbacks use: a read buffer, the stack of
// open JSON scopes of the text being read (see job/remote/json_stream_scanner.h) and
// the stop event, a manual-reset event set when the owner stops the request
// (made when the request is opened; null before). The three operations are
// called on WinHTTP's callback thread, one at a time.
class WinHttpRequest : public WinHttpHandle {
public:
    static constexpr size_t kReadBufferSize = 1024;

    WinHttpRequest() = default;
    ~WinHttpRequest() override = default;

    // Takes size bytes of the response body; 0, or a negative HRESULT.
    virtual long OnReadComplete(const void* data, unsigned long size) = 0;
    // The end of one piece of the response: after a complete object (result
    // 0), or when the response failed (a negative HRESULT).
    virtual void OnResponseComplete(long result) = 0;
    // A WinHTTP operation of the request failed.
    virtual void OnRequestError(WINHTTP_ASYNC_RESULT* result) = 0;

protected:
    char buffer_[kReadBufferSize] = {};
    std::deque<char> braces_;
    scoped_handle stop_;
};
