#include "portvane/login_restrictions.h"

#include <algorithm>
#include <ctime>

#include "job/stores/options.h"

namespace {

// A failure more than this long after the one before starts the count again.
constexpr int64_t kCountingWindow = 1500;
// How often records that count nothing any more are looked for.
constexpr int64_t kPruneEvery = 60;

}  // namespace

LoginRestrictions* LoginRestrictions::instance() {
    static LoginRestrictions throttle;
    return &throttle;
}

std::string LoginRestrictions::key(const std::string& user) {
    const char* blanks = " \t\r\n\f\v";
    size_t begin = user.find_first_not_of(blanks);
    if (begin == std::string::npos) return "";
    size_t end = user.find_last_not_of(blanks);
    std::string out = user.substr(begin, end - begin + 1);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

void LoginRestrictions::clock(Clock clock) {
    std::lock_guard<std::mutex> hold(lock_);
    clock_ = clock;
    nextPrune_ = 0;
}

size_t LoginRestrictions::records() const {
    std::lock_guard<std::mutex> hold(lock_);
    return users_.size();
}

int64_t LoginRestrictions::now() const {
    return clock_ ? clock_() : static_cast<int64_t>(std::time(nullptr));
}

void LoginRestrictions::prune(int64_t now) {
    if (now < nextPrune_) return;
    nextPrune_ = now + kPruneEvery;
    std::erase_if(users_, [now](const auto& entry) {
        const restricts& r = entry.second;
        int64_t idle = now - r.lastFailure;
        return r.inFlight == 0 && idle >= r.againAfter && idle > kCountingWindow;
    });
}

void LoginRestrictions::land(restricts& record) {
    if (record.inFlight > 0) --record.inFlight;
}

bool LoginRestrictions::isLoginAllowed(const std::string& user) {
    std::lock_guard<std::mutex> hold(lock_);
    int64_t at = now();
    prune(at);
    auto it = users_.find(key(user));
    if (it == users_.end()) {
        OptionsImpl* options = OptionsImpl::instance();
        restricts fresh;
        fresh.againAfter = options->loginAgainAfter();
        fresh.retryTimes = options->loginRetrytimes();
        if (fresh.retryTimes < 0) return false;
        fresh.inFlight = 1;
        users_.emplace(key(user), fresh);
        return true;
    }
    restricts& r = it->second;
    if (r.failedCount > 0 && at - r.lastFailure >= r.againAfter) r.failedCount = 0;
    if (static_cast<int64_t>(r.failedCount) + r.inFlight > r.retryTimes) return false;
    ++r.inFlight;
    return true;
}

void LoginRestrictions::loginFailed(const std::string& user) {
    std::lock_guard<std::mutex> hold(lock_);
    int64_t at = now();
    auto it = users_.find(key(user));
    if (it == users_.end()) {
        // The record went with a success of a parallel attempt: this failure counts anew.
        OptionsImpl* options = OptionsImpl::instance();
        restricts fresh;
        fresh.againAfter = options->loginAgainAfter();
        fresh.retryTimes = options->loginRetrytimes();
        it = users_.emplace(key(user), fresh).first;
    }
    restricts& r = it->second;
    land(r);
    if (at - r.lastFailure > kCountingWindow) r.failedCount = 0;
    ++r.failedCount;
    r.lastFailure = at;
}

void LoginRestrictions::loginSucceeded(const std::string& user) {
    std::lock_guard<std::mutex> hold(lock_);
    users_.erase(key(user));
}

void LoginRestrictions::loginEnded(const std::string& user) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = users_.find(key(user));
    if (it == users_.end()) return;
    land(it->second);
    if (it->second.inFlight == 0 && it->second.failedCount == 0) users_.erase(it);
}

LoginAttempt::LoginAttempt(std::string user) : user_(std::move(user)) {
    allowed_ = LoginRestrictions::instance()->isLoginAllowed(user_);
}

LoginAttempt::~LoginAttempt() {
    if (allowed_ && !ended_) LoginRestrictions::instance()->loginFailed(user_);
}

void LoginAttempt::succeeded() {
    if (!allowed_ || ended_) return;
    ended_ = true;
    LoginRestrictions::instance()->loginSucceeded(user_);
}

void LoginAttempt::confirmedLocally() {
    if (!allowed_ || ended_) return;
    ended_ = true;
    LoginRestrictions::instance()->loginEnded(user_);
}
