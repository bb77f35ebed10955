#include "starter/webserver/bindings.h"

#include <cstring>

namespace tovel::web {
namespace {

// Longest first, so that "/jobsview" wins over "/jobs" and "/serversettings" over "/servers".
// Each handler checks the rest of its URI itself; a prefix only picks the handler. Only the
// start-page redirects, which change nothing, may be reached from another site's links. The
// server settings take their word whole, so that the page "/serverSettings.html" is a file.
constexpr Binding kBindings[] = {
    {"/networksbandwidth", false, "network_bandwidth_callback", true},
    {"/consistentcheck", false, "consistentcheck_callback", true},
    {"/serversettings", false, "server_settings_callback", false, true},
    {"/jobinstances", false, "jobinstances_callback", true},
    {"/serverstatus", false, "serverstatus_callback", false},
    {"/deletefiles", false, "deletefiles_callback", true},
    {"/offlinejobs", false, "offlinejobs_callback", true},
    {"/filesystem", false, "filesystem_list_callback", true},
    {"/exclusion", false, "exclusion_callback", true},
    {"/jobnotify", false, "job_notify_callback", false},
    {"/jobsview", false, "jobsview_callback", true},
    {"/machines", false, "machines_callback", true},
    {"/userinfo", false, "userinfo_callback", true},
    {"/servers", false, "server_callback", false, false, true},
    {"/logout", false, "logout_callback", false},
    {"/server", false, "server_callback", false, false, true},
    {"/source", false, "source_callback", true},
    {"/update", false, "update_callback", true},
    {"/login", false, "login_callback", false},
    {"/webui", false, "webui_callback", false},
    {"/jobs", false, "jobs_callback", true},
    {"/key", false, "key_callback", true},
    {"/", true, "language_callback", false, true},
};

}  // namespace

std::span<const Binding> bindings() { return kBindings; }

const Binding* find_binding(const char* uri, size_t* index) {
    if (!uri) return nullptr;
    for (size_t i = 0; i < std::size(kBindings); ++i) {
        const Binding& b = kBindings[i];
        size_t length = std::strlen(b.prefix);
        bool match = b.exact ? std::strcmp(uri, b.prefix) == 0
                             : std::strncmp(uri, b.prefix, length) == 0 &&
                                   (!b.whole_word || uri[length] == '\0' || uri[length] == '/');
        if (match) {
            if (index) *index = i;
            return &b;
        }
    }
    return nullptr;
}

}  // namespace tovel::web
