// Answering one request, and the calls that handlers make on it.
#include <strings.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>

#include "starter/webserver/origin.h"
#include "starter/webserver/server.h"

namespace tovel::web {
namespace {

constexpr std::string_view k400 = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view k401 = "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view k403 = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view k404 = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view k405 =
    "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view k413 = "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view k500 = "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view k503 = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";

void reply(mg_connection& conn, std::string_view text) {
    mg_write(&conn, text.data(), text.size());
}

constexpr std::string_view k408 = "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n\r\n";

enum class Body { whole, too_long, cut_short, failed };

// Reads the whole body into conn.body. A body that ends before its announced length (the client
// closed, or stalled until the engine gave up) is cut short: acting on it would act on a part.
Body read_body(mg_connection& conn) {
    long long declared = conn.io.content_length();
    if (declared > static_cast<long long>(kMaxBody)) return Body::too_long;
    if (declared > 0) conn.body.reserve(static_cast<size_t>(declared));
    // Read straight into the body: the library's worker threads have small stacks (100 KiB),
    // too small for a buffer of this size beside a handler's own frames.
    constexpr size_t kPiece = 65536;
    for (;;) {
        size_t have = conn.body.size();
        size_t room = kMaxBody + 1 - have;
        size_t want = room < kPiece ? room : kPiece;
        conn.body.resize(have + want);
        int n = conn.io.read(&conn.body[have], want);
        conn.body.resize(have + (n > 0 ? static_cast<size_t>(n) : 0));
        if (n < 0) return Body::failed;
        if (n == 0) {
            bool whole = declared < 0 || conn.body.size() == static_cast<size_t>(declared);
            return whole ? Body::whole : Body::cut_short;
        }
        if (conn.body.size() > kMaxBody) return Body::too_long;
    }
}

// Keeps the engine's log messages tied to the request while it is answered.
class Attachment {
public:
    explicit Attachment(mg_connection& conn) : io_(conn.io) { io_.attach(&conn); }
    ~Attachment() { io_.attach(nullptr); }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

private:
    Connection& io_;
};

void run_handler(mg_connection& conn, mg_handler_t handler) {
    try {
        handler(&conn, &conn.info);
    } catch (const std::exception& e) {
        conn.ctx.log(&conn, (std::string("handler failed: ") + e.what()).c_str());
        if (conn.written == 0) reply(conn, k500);
    } catch (...) {
        conn.ctx.log(&conn, "handler failed");
        if (conn.written == 0) reply(conn, k500);
    }
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Form decoding: "%XX" is a byte, '+' a blank; a '%' without two hex digits stays as it is.
std::string form_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
                   hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// The decoded value of the first "name=value" pair of an urlencoded form, if any.
bool find_form_var(std::string_view form, const char* name, std::string& value) {
    while (!form.empty()) {
        size_t amp = form.find('&');
        std::string_view pair = form.substr(0, amp);
        form = amp == std::string_view::npos ? std::string_view() : form.substr(amp + 1);
        size_t eq = pair.find('=');
        if (form_decode(pair.substr(0, eq)) != name) continue;
        value = eq == std::string_view::npos ? "" : form_decode(pair.substr(eq + 1));
        return true;
    }
    return false;
}

void note_status(mg_connection& conn, const void* data, size_t length) {
    if (conn.status != 0 || conn.head.size() >= 16) return;
    conn.head.append(static_cast<const char*>(data), length < 16 ? length : 16);
    // "HTTP/1.1 200 ..."
    if (conn.head.size() >= 12 && conn.head.compare(0, 5, "HTTP/") == 0) {
        int code = std::atoi(conn.head.c_str() + 9);
        if (code >= 100 && code <= 999) conn.status = code;
    }
}

// Answers conn's request; see answer_request. body_read tells whether the request's body was
// read to its end (a reply given before that leaves the rest unread).
Outcome answer(mg_connection& conn, bool& body_read) {
    mg_context& ctx = conn.ctx;
    Connection& io = conn.io;
    Attachment attachment(conn);
    conn.uri = io.path() ? io.path() : "";
    mg_request_info& info = conn.info;
    info.request_method = io.method();
    info.uri = conn.uri.c_str();
    info.query_string = io.query();
    info.http_version = io.http_version();
    info.remote_ip = io.remote_ipv4();
    info.remote_port = io.remote_port();
    info.post_data = conn.body.c_str();
    info.post_data_len = 0;

    if (ctx.refusing.load()) {
        reply(conn, k503);
        return Outcome::answered;
    }
    if (!loopback_peer(io.remote_address())) {
        ctx.log(&conn, "request refused: the client is not on this machine");
        reply(conn, k403);
        return Outcome::answered;
    }
    // A handler would see the path cut at the NUL and act on another place than the one named.
    if (io.path_holds_nul()) {
        ctx.log(&conn, "request refused: its path holds a NUL");
        reply(conn, k400);
        return Outcome::answered;
    }
    size_t index = 0;
    const Binding* binding = find_binding(info.uri, &index);
    if (!same_origin_request(io, binding)) {
        ctx.log(&conn, "request refused: it names another host or comes from another site's page");
        reply(conn, k403);
        return Outcome::answered;
    }
    if (io.content_length() > static_cast<long long>(kMaxBody)) {
        reply(conn, k413);
        return Outcome::answered;
    }

    // The hook decides on the head alone: a client that may not reach a handler never has its
    // body read.
    if (ctx.exports.auth) {
        try {
            ctx.exports.auth(&conn, &info);
        } catch (...) {
            conn.authorized = false;
        }
    } else if (!binding || !binding->needs_cookie) {
        mg_authorize(&conn);
    }
    if (!conn.authorized) {
        if (conn.written == 0) reply(conn, k401);
        return Outcome::answered;
    }
    if (!binding) {
        const char* method = info.request_method ? info.request_method : "";
        if (std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0) {
            return Outcome::unbound;
        }
        reply(conn, k405);
        return Outcome::answered;
    }
    mg_handler_t handler =
        index < ctx.exports.handlers.size() ? ctx.exports.handlers[index] : nullptr;
    if (!handler) {
        reply(conn, k404);
        return Outcome::answered;
    }
    switch (read_body(conn)) {
        case Body::too_long:
            reply(conn, k413);
            return Outcome::answered;
        case Body::cut_short:
            ctx.log(&conn, "request refused: its body is shorter than its Content-Length");
            reply(conn, k400);
            return Outcome::answered;
        case Body::failed:
            reply(conn, k408);
            return Outcome::answered;
        case Body::whole:
            break;
    }
    body_read = true;
    info.post_data = conn.body.c_str();
    info.post_data_len = conn.body.size();
    run_handler(conn, handler);
    return Outcome::answered;
}

}  // namespace

Outcome answer_request(mg_context& ctx, Connection& io, int* status) {
    mg_connection conn(ctx, io);
    bool body_read = false;
    Outcome outcome = answer(conn, body_read);
    // A body left unread (refused, too long, cut short) is never read later either: the client
    // gets its reply and the end of the connection at once.
    bool has_body = io.content_length() > 0 || io.header("Transfer-Encoding");
    if (outcome == Outcome::answered && !body_read && has_body) io.end_connection();
    if (status) *status = conn.status > 0 ? conn.status : 500;
    return outcome;
}

const char* mg_get_header(const mg_connection* conn, const char* name) {
    return conn && name ? conn->io.header(name) : nullptr;
}

char* mg_get_var(const mg_connection* conn, const char* name) {
    if (!conn || !name) return nullptr;
    std::string value;
    bool found = find_form_var(conn->body, name, value);
    if (!found && conn->info.query_string)
        found = find_form_var(conn->info.query_string, name, value);
    return found ? strdup(value.c_str()) : nullptr;
}

char* mg_get_body_var(const mg_connection* conn, const char* name) {
    if (!conn || !name) return nullptr;
    std::string value;
    return find_form_var(conn->body, name, value) ? strdup(value.c_str()) : nullptr;
}

void mg_free(void* p) { std::free(p); }

int mg_write(mg_connection* conn, const void* data, size_t length) {
    if (!conn || (!data && length)) return -1;
    if (length == 0) return 0;
    note_status(*conn, data, length);
    int n = conn->io.write(data, length);
    if (n > 0) conn->written += n;
    return n;
}

int mg_printf(mg_connection* conn, const char* format, ...) {
    if (!conn || !format) return -1;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return -1;
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    return mg_write(conn, text.data(), static_cast<size_t>(length));
}

int mg_readable(mg_connection* conn, long seconds, long microseconds) {
    return conn ? conn->io.readable(seconds, microseconds) : 0;
}

int mg_is_stopping(const mg_connection* conn) { return conn && conn->ctx.stopping.load() ? 1 : 0; }

int mg_uri_callback_require_auth(mg_connection*, const char* uri) {
    const Binding* binding = find_binding(uri);
    if (!binding) return -1;
    return binding->needs_cookie ? 1 : 0;
}

int mg_authorize(mg_connection* conn) {
    if (!conn) return 0;
    conn->authorized = true;
    return 1;
}

const char* mg_get_peer_identity(mg_connection* conn) {
    if (!conn) return "";
    if (conn->peer.empty()) {
        long long owner = conn->io.peer_owner();
        uint32_t a = conn->io.remote_ipv4();
        conn->peer = owner >= 0
                         ? "account " + std::to_string(owner)
                         : "address " + std::to_string(a >> 24) + "." +
                               std::to_string((a >> 16) & 255) + "." +
                               std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
    }
    return conn->peer.c_str();
}

}  // namespace tovel::web
