// The job notification client: a program outside the service follows the
// state changes of all jobs through one long-running asynchronous GET of
// "/jobnotify/" on the local web interface, whose chunked body is a stream of
// job events (one JSON object each). The client cuts the stream into its
// objects and calls OnJobStateChanged once per event. A program derives from
// it and implements OnJobStateChanged (the tray's job list does).
//
// Threads: Open, Close and the destructor on the owner's thread, never on a
// callback thread; everything else, OnJobStateChanged included, runs on
// WinHTTP's callback thread, one call at a time. Exported whole: the field
// order and the order of the virtual operations are part of the contract.
#pragma once

#include <string>

#include "common/holders.h"
#include "job/remote/winhttp_handle.h"

class JobNotifyClient : public WinHttpRequest {
public:
    // How long a send that could not reach the service waits before the next.
    static constexpr DWORD kRetryDelayMs = 3000;
    // The longest event text kept; a longer object is dropped whole (and
    // logged) and the stream goes on after it.
    static constexpr size_t kMaxEventBytes = 64 * 1024;

    // No handles, nothing received.
    JobNotifyClient() = default;
    // Close(), then the handles and the text go.
    ~JobNotifyClient() override;
    JobNotifyClient(const JobNotifyClient&) = delete;
    JobNotifyClient& operator=(const JobNotifyClient&) = delete;

    // Opens the session, the connection to host:port and the request, each
    // only when it does not exist yet, then sends the request; so a second
    // Open only sends it again (after the stream ended, say). 0 on success,
    // else the HRESULT of the failing step's Win32 error (0x8007xxxx); nothing
    // is logged. A send that cannot reach the service is retried every
    // kRetryDelayMs on the callback thread, without end, until Close.
    long Open(const wchar_t* host, unsigned short port);

    // Stops the client: no callback enters it any more, a retry wait is cut
    // short, and the request is closed; returns once the callback running
    // (if any) has returned and WinHTTP's final notification has come, so
    // that nothing of the client runs after it. Then the connection and
    // session are closed. Open may start afresh afterwards. A derived class
    // calls it first in its own destructor, so that no OnJobStateChanged
    // meets a half-destroyed object.
    void Close();

    // Appends the bytes to the received text; 0.
    long OnReadComplete(const void* data, unsigned long size) override;
    // Parses the received text as one JSON object and, when it has string
    // members "id" and "state", calls OnJobStateChanged(id, the state's
    // number by jobStateFromString); anything else is dropped without a call.
    // The text is emptied in every case. The result (0 after a complete
    // object, a negative HRESULT when the response failed, the HRESULT of
    // ERROR_HANDLE_EOF when the stream ended) is not looked at here; a
    // derived class that calls this one may, to open the client again.
    void OnResponseComplete(long result) override;
    // A send that failed (API_SEND_REQUEST, as while the service is not up)
    // is sent again after kRetryDelayMs, unless the client is stopped
    // meanwhile; other failures leave the client silent until it is opened
    // again.
    void OnRequestError(WINHTTP_ASYNC_RESULT* result) override;

    // One job event. Must not fail, nor call back into the client.
    virtual void OnJobStateChanged(const char* id, int state) = 0;

private:
    static void statusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                               LPVOID information, DWORD length);
    // One notification; 0, or a negative HRESULT for OnResponseComplete.
    long handle(DWORD status, LPVOID information);
    long readAvailable(DWORD available);
    // Cuts the bytes read into objects and hands each one on whole.
    long scan(const char* data, size_t size);
    long send();

    WinHttpSession session_;
    WinHttpConnection connection_;
    std::string text_;
    // Set by the request's final notification (HANDLE_CLOSING). Made with the
    // first send that WinHTTP accepts, so it exists exactly when that
    // notification will come to this client.
    scoped_handle closed_;
};
