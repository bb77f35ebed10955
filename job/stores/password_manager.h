// The users' passwords of the remote service, kept so that the agent can log
// in again for a user without asking: the encrypted file "passwords" of the
// data folder, a JSON object of user name -> password.
//
// One instance per process, through
// ATL::CComSingleton<PasswordManagerImpl, ATL::CComAutoCriticalSection>::instance().
// Any thread: every operation holds the store's lock for its whole run, file
// write included (isPasswordValid only while it looks the password up).
// Null or empty arguments give false without logging or touching anything.
// No password ever reaches the log.
#pragma once

#include <string>

#include "common/json.h"
#include "job/stores/store_file.h"
#include "platform/threads/atl_singleton.h"

class PasswordManagerImpl {
public:
    // Loads the file; a missing or unreadable one gives an empty store.
    PasswordManagerImpl();
    PasswordManagerImpl(const PasswordManagerImpl&) = delete;
    PasswordManagerImpl& operator=(const PasswordManagerImpl&) = delete;

    // The stored password of user; false when there is none, or the stored
    // value is no string.
    bool findPassword(const char* user, std::string& password) const;
    // Whether password is the stored one, exactly (letter case counts),
    // compared in time that does not depend on where they differ.
    bool isPasswordValid(const char* user, const char* password) const;
    // Stores the password and writes the file (also when it did not change);
    // the result is the write's. The store keeps the change when the write
    // fails.
    bool savePassword(const char* user, const char* password);
    // Forgets the user, stored or not, and writes the file; the write's result.
    bool removePassword(const char* user);

protected:
    bool init();
    bool save();

    mutable ATL::CComAutoCriticalSection lock;
    json_spirit::Object store;

private:
    StoreFile file_;
};
