// The remote web server's session cookies and the user each belongs to: the
// encrypted file "cookies" of the data folder, a JSON object of cookie text
// (exactly as the server set it) -> user name. A user may own several
// cookies, a cookie belongs to one user.
//
// One instance per process, through
// ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance().
// Any thread: every operation holds the store's lock for its whole run, file
// write included. Null or empty arguments give false without logging or
// touching anything. No cookie ever reaches the log.
#pragma once

#include <string>

#include "common/json.h"
#include "job/stores/store_file.h"
#include "platform/threads/atl_singleton.h"

class CookieManagerImpl {
public:
    // Loads the file; a missing or unreadable one gives an empty store.
    CookieManagerImpl();
    CookieManagerImpl(const CookieManagerImpl&) = delete;
    CookieManagerImpl& operator=(const CookieManagerImpl&) = delete;

    // Whether the cookie is stored, whatever its value.
    bool isCookieValid(const char* cookie) const;
    // The first cookie, in ascending order of cookie text, whose user is user.
    bool findCookie(const char* user, std::string& cookie) const;
    // The user of a stored cookie; false when absent or its value is no string.
    bool findUser(const char* cookie, std::string& user) const;
    // Stores cookie -> user and writes the file; true without writing when the
    // cookie already belongs to that user. The store keeps the change when
    // the write fails.
    bool saveCookie(const char* user, const char* cookie);
    // Forgets the cookie and writes the file; false without writing when it
    // was not stored.
    bool removeCookie(const char* cookie);
    // Forgets every cookie and writes the file; the write's result.
    bool removeAllCookie();

protected:
    bool init();
    bool save();

    mutable ATL::CComAutoCriticalSection lock;
    json_spirit::Object store;

private:
    StoreFile file_;
};
