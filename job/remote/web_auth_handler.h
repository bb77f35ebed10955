// The web client callbacks over the agent's cookie and password stores: the
// base of the backup and restore jobs, each of which hands itself to the web
// storage it makes. No lock of its own: a handler is called on its job's
// worker thread, and the stores it reaches guard themselves.
#pragma once

#include <string>

#include "job/core/web_client_event_handler.h"

class WebAuthHandler : public WebClientEventHandler {
public:
    WebAuthHandler() = default;
    WebAuthHandler(const WebAuthHandler&) = default;
    WebAuthHandler& operator=(const WebAuthHandler&) = default;
    ~WebAuthHandler() override;

    // The user of cookie in the cookie store, and that user's stored
    // password. False when the cookie store does not know the cookie (the
    // password store is then not asked and password stays as it was) or no
    // password is stored. Logs nothing, changes nothing.
    bool onAuthRequired(std::string& user, std::string& password,
                        const std::string& cookie) override;
    // Removes oldCookie from the cookie store when it is given, stores
    // newCookie for user, and keeps a copy of newCookie when it is not empty.
    // The stores' failures stay with them.
    void onSetCookie(const char* user, const char* newCookie, const char* oldCookie) override;
    // Keeps the code.
    void onError(DWORD code) override;

    DWORD errorCode() const { return errorCode_; }
    // The last non-empty cookie given to onSetCookie.
    const std::string& newCookie() const { return newCookie_; }
    // Forgets the code and the cookie.
    void reSet();

private:
    DWORD errorCode_ = 0;
    std::string newCookie_;
};
