// The login throttle: a user name whose logins failed too often in a short while is refused for
// some time without anything being tried.
//
// An attempt is counted from the moment the check lets it through until it ends, so parallel
// attempts cannot all pass the check before the first of them is counted: the check lets one
// more attempt through only while the failures counted plus the attempts in flight stay within
// the tolerated number ("loginRetrytimes", 5). With the defaults six failed attempts in a row,
// each less than "loginAgainAfter" (300) seconds after the one before, block the name until
// that long after the sixth; a failure more than 1500 seconds after the one before starts the
// count again. Names are counted by their trimmed lower-case form, so "Alice" and " alice" are
// one name. A record exists only while it counts something: a name whose attempts all ended and
// whose last failure lies beyond both windows has none.
//
// Any thread: every operation holds the throttle's lock for its whole run.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// The throttle record of one name.
struct restricts {
    virtual ~restricts() = default;
    int32_t failedCount = 0;  // failures counted
    int32_t againAfter = 0;   // seconds a blocked name waits
    int64_t lastFailure = 0;  // calendar seconds of the last failure counted
    int32_t retryTimes = 0;   // failures tolerated
    int32_t inFlight = 0;     // attempts let through and not ended yet
};

class LoginRestrictions {
public:
    // Calendar time in seconds.
    using Clock = int64_t (*)();

    // The process's throttle, made on first use.
    static LoginRestrictions* instance();

    // The throttle check: true lets an attempt for user go on, which is then in flight until
    // loginFailed, loginSucceeded or loginEnded ends it; false when the name is blocked.
    bool isLoginAllowed(const std::string& user);
    // Ends an attempt that did not log in: counts a failure.
    void loginFailed(const std::string& user);
    // Ends an attempt that the remote server accepted: the name's record goes.
    void loginSucceeded(const std::string& user);
    // Ends an attempt without counting it (a login that the agent confirmed itself).
    void loginEnded(const std::string& user);

    // For tests: the clock (null: the system's) and the records held.
    void clock(Clock clock);
    size_t records() const;

    // The name that records are kept under: trimmed of blanks, ASCII letters in lower case.
    static std::string key(const std::string& user);

private:
    int64_t now() const;
    // Drops the records that count nothing any more; at most once a minute.
    void prune(int64_t now);
    // Ends one attempt in flight of the record, if any.
    static void land(restricts& record);

    mutable std::mutex lock_;
    std::map<std::string, restricts> users_;
    Clock clock_ = nullptr;
    int64_t nextPrune_ = 0;
};

// One login attempt through the throttle: the check when made, and a counted failure when it
// ends without succeeded() or confirmedLocally(). Lives on the stack of the login's thread.
class LoginAttempt {
public:
    explicit LoginAttempt(std::string user);
    ~LoginAttempt();
    LoginAttempt(const LoginAttempt&) = delete;
    LoginAttempt& operator=(const LoginAttempt&) = delete;

    // Whether the throttle let the attempt through.
    bool allowed() const { return allowed_; }
    // The remote server accepted the login.
    void succeeded();
    // The agent confirmed the login from what it had saved.
    void confirmedLocally();

private:
    std::string user_;
    bool allowed_ = false;
    bool ended_ = false;
};
