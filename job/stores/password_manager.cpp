#include "job/stores/password_manager.h"

#include <ace/Log_Msg.h>
#include <openssl/crypto.h>

namespace {

const StoreFileTexts kPasswordFile = {
    L"passwords",
    "Failed to decode the password storage file.\n",
    LM_ERROR,
    "Failed to parse password storage, Line %d, column %d, %s.\n",
    "Password storage is not JSON object.\n",
    "Failed to encode the password storage file.\n",
    LM_ERROR,
};

bool given(const char* text) { return text && *text; }

// Equality whose time depends on the lengths only, not on the bytes.
bool same_secret(const std::string& stored, const char* given, size_t length) {
    size_t longest = stored.size() > length ? stored.size() : length;
    volatile unsigned char difference = stored.size() == length ? 0 : 1;
    for (size_t i = 0; i < longest; ++i) {
        unsigned char a = i < stored.size() ? static_cast<unsigned char>(stored[i]) : 0;
        unsigned char b = i < length ? static_cast<unsigned char>(given[i]) : 0;
        difference = difference | (a ^ b);
    }
    return difference == 0;
}

}  // namespace

PasswordManagerImpl::PasswordManagerImpl() : file_(kPasswordFile) { init(); }

bool PasswordManagerImpl::init() {
    ACE_TRACE("PasswordManagerImpl::init");
    store_guard guard(lock);
    return file_.load(store);
}

bool PasswordManagerImpl::save() {
    ACE_TRACE("PasswordManagerImpl::save");
    return file_.save(store);
}

bool PasswordManagerImpl::findPassword(const char* user, std::string& password) const {
    if (!given(user)) return false;
    store_guard guard(lock);
    auto found = store.find(user);
    if (found == store.end() || found->second.type() != json_spirit::str_type) return false;
    password = found->second.get_str();
    return true;
}

bool PasswordManagerImpl::isPasswordValid(const char* user, const char* password) const {
    if (!given(user) || !given(password)) return false;
    std::string stored;
    bool valid = findPassword(user, stored) &&
                 same_secret(stored, password, std::char_traits<char>::length(password));
    if (!stored.empty()) OPENSSL_cleanse(stored.data(), stored.size());
    return valid;
}

bool PasswordManagerImpl::savePassword(const char* user, const char* password) {
    if (!given(user) || !given(password)) return false;
    store_guard guard(lock);
    StoreChangeLock change(kPasswordFile);
    if (!change.held()) return false;
    file_.refresh(store);
    store[user] = json_spirit::Value(password);
    return save();
}

bool PasswordManagerImpl::removePassword(const char* user) {
    if (!given(user)) return false;
    store_guard guard(lock);
    StoreChangeLock change(kPasswordFile);
    if (!change.held()) return false;
    file_.refresh(store);
    store.erase(user);
    return save();
}
