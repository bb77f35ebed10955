#include "job/stores/cookie_manager.h"

#include <ace/Log_Msg.h>

namespace {

const StoreFileTexts kCookieFile = {
    L"cookies",
    "Failed to decode the cookie storage file.\n",
    LM_INFO,
    "Failed to parse cookie storage, Line %d, column %d, %s.\n",
    "Cookie storage is not JSON object.\n",
    "Failed to encode the cookie storage file.\n",
    LM_INFO,
};

bool given(const char* text) { return text && *text; }

}  // namespace

CookieManagerImpl::CookieManagerImpl() : file_(kCookieFile) { init(); }

bool CookieManagerImpl::init() {
    ACE_TRACE("CookieManagerImpl::init");
    store_guard guard(lock);
    return file_.load(store);
}

bool CookieManagerImpl::save() {
    ACE_TRACE("CookieManagerImpl::save");
    return file_.save(store);
}

bool CookieManagerImpl::isCookieValid(const char* cookie) const {
    if (!given(cookie)) return false;
    store_guard guard(lock);
    return store.count(cookie) != 0;
}

bool CookieManagerImpl::findCookie(const char* user, std::string& cookie) const {
    if (!given(user)) return false;
    store_guard guard(lock);
    for (const auto& [text, owner] : store) {
        if (owner.type() == json_spirit::str_type && owner.get_str() == user) {
            cookie = text;
            return true;
        }
    }
    return false;
}

bool CookieManagerImpl::findUser(const char* cookie, std::string& user) const {
    if (!given(cookie)) return false;
    store_guard guard(lock);
    auto found = store.find(cookie);
    if (found == store.end() || found->second.type() != json_spirit::str_type) return false;
    user = found->second.get_str();
    return true;
}

bool CookieManagerImpl::saveCookie(const char* user, const char* cookie) {
    if (!given(user) || !given(cookie)) return false;
    store_guard guard(lock);
    StoreChangeLock change(kCookieFile);
    if (!change.held()) return false;
    file_.refresh(store);
    auto found = store.find(cookie);
    if (found != store.end() && found->second.type() == json_spirit::str_type &&
        found->second.get_str() == user)
        return true;
    store[cookie] = json_spirit::Value(user);
    return save();
}

bool CookieManagerImpl::removeCookie(const char* cookie) {
    if (!given(cookie)) return false;
    store_guard guard(lock);
    StoreChangeLock change(kCookieFile);
    if (!change.held()) return false;
    file_.refresh(store);
    if (store.erase(cookie) == 0) return false;
    return save();
}

bool CookieManagerImpl::removeAllCookie() {
    store_guard guard(lock);
    StoreChangeLock change(kCookieFile);
    if (!change.held()) return false;
    store.clear();
    return save();
}
