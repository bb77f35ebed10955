// The start pages: a browser that opens the web interface is sent to the main page in its own
// language, or to the server settings page while no remote server is chosen.
#include <algorithm>
#include <string>

#include "job/stores/options.h"
#include "starter/webserver/mongoose.h"

using tovel::web::mg_connection;
using tovel::web::mg_request_info;

namespace {

// The first entry of the Accept-Language header, its '-' made '_' and nothing else changed
// (blanks and a quality suffix stay); "en_US" when there is none.
std::string request_locale(const mg_connection* conn) {
    const char* header = tovel::web::mg_get_header(conn, "Accept-Language");
    if (!header) return "en_US";
    std::string text = header;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        size_t end = comma == std::string::npos ? text.size() : comma;
        if (end > start) {
            std::string locale = text.substr(start, end - start);
            std::replace(locale.begin(), locale.end(), '-', '_');
            return locale;
        }
        if (comma == std::string::npos) return "en_US";
        start = comma + 1;
    }
}

void redirect(mg_connection* conn, const char* page, const std::string& locale) {
    tovel::web::mg_printf(
        conn,
        "HTTP/1.1 307 Temporary Redirect\r\nContent-Length: 0\r\nLocation: /%s?locale=%s\r\n\r\n",
        page, locale.c_str());
}

}  // namespace

// Any URI and method: the main page once a remote server is set, else the settings page.
extern "C" void language_callback(mg_connection* conn, const mg_request_info*) {
    std::string locale = request_locale(conn);
    std::string name, host;
    unsigned short port = 80;
    OptionsImpl::instance()->getServerInfo(name, host, port);
    redirect(conn, host.empty() ? "serverSettings.html" : "tovel.html", locale);
}

// Any URI and method: the settings page.
extern "C" void server_settings_callback(mg_connection* conn, const mg_request_info*) {
    redirect(conn, "serverSettings.html", request_locale(conn));
}
