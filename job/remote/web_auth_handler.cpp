#include "job/remote/web_auth_handler.h"

#include <ace/Log_Msg.h>

#include "job/stores/cookie_manager.h"
#include "job/stores/password_manager.h"
#include "platform/threads/atl_singleton.h"

namespace {

CookieManagerImpl& cookies() {
    return *ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

PasswordManagerImpl& passwords() {
    return *ATL::CComSingleton<PasswordManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

}  // namespace

WebAuthHandler::~WebAuthHandler() = default;

bool WebAuthHandler::onAuthRequired(std::string& user, std::string& password,
                                    const std::string& cookie) {
    if (!cookies().findUser(cookie.c_str(), user)) return false;
    return passwords().findPassword(user.c_str(), password);
}

void WebAuthHandler::onSetCookie(const char* user, const char* newCookie, const char* oldCookie) {
    ACE_TRACE("WebAuthHandler::onSetCookie");
    if (oldCookie) cookies().removeCookie(oldCookie);
    cookies().saveCookie(user, newCookie);
    if (newCookie && *newCookie) newCookie_ = newCookie;
}

void WebAuthHandler::onError(DWORD code) { errorCode_ = code; }

void WebAuthHandler::reSet() {
    errorCode_ = 0;
    newCookie_.clear();
}
