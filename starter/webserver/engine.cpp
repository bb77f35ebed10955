#include "starter/webserver/engine.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "starter/webserver/documents.h"
#include "starter/webserver/peer_owner.h"
#include "starter/webserver/server.h"

namespace tovel::web {
namespace {

// The context being started on this thread, for the engine's messages before its user data is set.
thread_local mg_context* t_starting = nullptr;
thread_local std::vector<std::string>* t_start_messages = nullptr;

mg_context* owner_of(const ::mg_connection* c) {
    if (t_starting) return t_starting;
    const ::mg_context* engine = c ? ::mg_get_context(c) : nullptr;
    return engine ? static_cast<mg_context*>(::mg_get_user_data(engine)) : nullptr;
}

// The socket of a request. The engine does not hand it out, so it is found among the process's
// descriptors by its pair of addresses, which no other open socket shares.
int find_socket(const ::mg_request_info* ri) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(dir)) continue;
        sockaddr_storage peer{}, local{};
        socklen_t peer_len = sizeof peer, local_len = sizeof local;
        if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0 ||
            getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &local_len) !=
                0) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = "";
        int peer_port = 0, local_port = 0;
        if (peer.ss_family == AF_INET && local.ss_family == AF_INET) {
            auto* p = reinterpret_cast<sockaddr_in*>(&peer);
            inet_ntop(AF_INET, &p->sin_addr, text, sizeof text);
            peer_port = ntohs(p->sin_port);
            local_port = ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
        } else if (peer.ss_family == AF_INET6 && local.ss_family == AF_INET6) {
            auto* p = reinterpret_cast<sockaddr_in6*>(&peer);
            inet_ntop(AF_INET6, &p->sin6_addr, text, sizeof text);
            peer_port = ntohs(p->sin6_port);
            local_port = ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
        } else {
            continue;
        }
        if (peer_port == ri->remote_port && local_port == ri->server_port &&
            std::strcmp(text, ri->remote_addr) == 0) {
            found = static_cast<int>(fd);
            break;
        }
    }
    closedir(dir);
    return found;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The path as the engine leaves it (decode_url "no") with every "%XX" made its byte; a '%'
// without two hex digits stays as it is, and '+' is no blank in a path.
std::string decoded_path(const char* raw) {
    std::string out;
    for (const char* p = raw ? raw : ""; *p; ++p) {
        if (*p == '%' && hex_value(p[1]) >= 0 && hex_value(p[2]) >= 0) {
            out += static_cast<char>(hex_value(p[1]) * 16 + hex_value(p[2]));
            p += 2;
        } else {
            out += *p;
        }
    }
    return out;
}

class EngineConnection : public Connection {
public:
    explicit EngineConnection(::mg_connection* c)
        : c_(c),
          ri_(::mg_get_request_info(c)),
          path_(decoded_path(ri_->local_uri_raw ? ri_->local_uri_raw : ri_->request_uri)) {}

    const char* method() const override { return ri_->request_method; }
    const char* path() const override { return path_.c_str(); }
    bool path_holds_nul() const override { return path_.find('\0') != std::string::npos; }
    const char* query() const override { return ri_->query_string; }
    const char* http_version() const override { return ri_->http_version; }
    const char* header(const char* name) const override { return ::mg_get_header(c_, name); }
    uint32_t remote_ipv4() const override {
        in_addr address{};
        return inet_pton(AF_INET, ri_->remote_addr, &address) == 1 ? ntohl(address.s_addr) : 0;
    }
    const char* remote_address() const override { return ri_->remote_addr; }
    int remote_port() const override { return ri_->remote_port; }
    int local_port() const override { return ri_->server_port; }
    long long peer_owner() const override {
        return local_socket_owner(ri_->remote_addr, ri_->remote_port, ri_->server_port);
    }
    long long content_length() const override { return ri_->content_length; }
    int read(void* data, size_t length) override { return ::mg_read(c_, data, length); }
    int write(const void* data, size_t length) override { return ::mg_write(c_, data, length); }
    int readable(long seconds, long microseconds) override {
        if (socket() < 0) return 1;  // not to be found: taken as gone
        long long ms = seconds * 1000LL + (microseconds + 999) / 1000;
        pollfd p{socket_, POLLIN | POLLRDHUP, 0};
        int n = poll(&p, 1, ms > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms));
        return n > 0 && (p.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) ? 1 : 0;
    }
    void end_connection() override {
        // The reply is in the socket's buffer: it goes out before the end. The engine's own
        // reads of what is left then find the end at once.
        if (socket() >= 0) shutdown(socket_, SHUT_RDWR);
    }
    void attach(mg_connection* conn) override { ::mg_set_user_connection_data(c_, conn); }

private:
    int socket() {
        if (socket_ == -2) socket_ = find_socket(ri_);
        return socket_;
    }

    ::mg_connection* c_;
    const ::mg_request_info* ri_;
    std::string path_;
    int socket_ = -2;  // -2 not looked for yet, -1 not found
};

// A GET or HEAD that no handler is bound to: the file of the document folder, or 404.
int send_document(const mg_context& owner, ::mg_connection* c, const char* path) {
    Document document;
    if (find_document(owner.document_folder, path, document)) {
        ::mg_send_mime_file2(c, document.path.c_str(), document.type, kDocumentHeaders);
        return 200;
    }
    std::string reply =
        std::string("HTTP/1.1 404 Not Found\r\n") + kDocumentHeaders + "Content-Length: 0\r\n\r\n";
    ::mg_write(c, reply.data(), reply.size());
    return 404;
}

int on_begin_request(::mg_connection* c) {
    mg_context* owner = owner_of(c);
    if (!owner) return 0;
    EngineConnection io(c);
    int status = 0;
    if (answer_request(*owner, io, &status) == Outcome::unbound)
        return send_document(*owner, c, io.path());
    return status;  // the engine keeps it as the reply's status
}

int on_log_message(const ::mg_connection* c, const char* message) {
    if (t_start_messages) t_start_messages->push_back(message);
    mg_context* owner = owner_of(c);
    if (!owner) return 0;
    auto* conn = c ? static_cast<mg_connection*>(::mg_get_user_connection_data(c)) : nullptr;
    owner->log(conn, message);
    return 1;
}

class CivetEngine : public Engine {
public:
    explicit CivetEngine(::mg_context* e) : engine_(e) {}
    ~CivetEngine() override { ::mg_stop(engine_); }
    CivetEngine(const CivetEngine&) = delete;
    CivetEngine& operator=(const CivetEngine&) = delete;

    std::vector<int> ports() const override {
        ::mg_server_port list[32];
        int n = ::mg_get_server_ports(engine_, 32, list);
        std::vector<int> out;
        for (int i = 0; i < n; ++i) out.push_back(list[i].port);
        return out;
    }

private:
    ::mg_context* engine_;
};

}  // namespace

std::unique_ptr<Engine> Engine::start(mg_context& owner, std::string& error) {
    static std::once_flag library;
    std::call_once(library, [] { ::mg_init_library(0); });

    owner.document_folder = document_folder(owner.options.get("document_root"));
    auto options = owner.options.engine_options(owner.request_timeout_ms);
    std::vector<const char*> list;
    for (const auto& [name, value] : options) {
        list.push_back(name.c_str());
        list.push_back(value.c_str());
    }
    list.push_back(nullptr);

    ::mg_callbacks callbacks{};
    callbacks.begin_request = on_begin_request;
    callbacks.log_message = on_log_message;
    ::mg_init_data init{&callbacks, &owner, list.data()};
    char text[256] = "";
    unsigned code = 0;
    ::mg_error_data failure{&code, text, sizeof text};
    std::vector<std::string> messages;
    t_starting = &owner;
    t_start_messages = &messages;
    ::mg_context* engine = ::mg_start2(&init, &failure);
    t_starting = nullptr;
    t_start_messages = nullptr;
    if (!engine) {
        // The engine's summary, and the messages that say why (which port, which option).
        error = text[0] ? text : "the web server cannot start";
        std::string why;
        for (const std::string& m : messages) {
            if (m == error) continue;
            why += (why.empty() ? "" : "; ") + m;
        }
        if (!why.empty()) error += " (" + why + ")";
        return nullptr;
    }
    return std::make_unique<CivetEngine>(engine);
}

const char* engine_version() { return ::mg_version(); }

bool engine_modify_passwords(const char* file, const char* realm, const char* user,
                             const char* password) {
    return ::mg_modify_passwords_file(file, realm, user, password) == 1;
}

const char* engine_default(const char* engine_name) {
    for (const ::mg_option* o = ::mg_get_valid_options(); o->name; ++o) {
        if (std::strcmp(o->name, engine_name) == 0) return o->default_value ? o->default_value : "";
    }
    return "";
}

}  // namespace tovel::web
