// HTTP messages: the version, header table and status that requests and
// responses share, a request's method, URI and query, and a response's
// cookie. Not copyable; one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "wirekit/http_headers.h"

// The parsed query of a request URI ("a=1&b=x%20y"): names and values
// percent-decoded, '+' read as a space; a part without '=' has an empty value.
class HTTP_Query_String {
public:
    explicit HTTP_Query_String(const char* text = nullptr) { reset_i(text); }
    HTTP_Query_String(const HTTP_Query_String&) = delete;
    HTTP_Query_String& operator=(const HTTP_Query_String&) = delete;

    int count() const { return static_cast<int>(pairs_.size()); }
    // The name or value of a part; null outside 0 to count() - 1.
    const char* name(int i) const {
        return static_cast<size_t>(i) < pairs_.size() ? pairs_[i].first.c_str() : nullptr;
    }
    const char* value(int i) const {
        return static_cast<size_t>(i) < pairs_.size() ? pairs_[i].second.c_str() : nullptr;
    }
    // Destroys the parts, then parses the new text (null: none).
    void reset(const char* text) {
        destroy();
        reset_i(text);
    }
    // Parses text and appends its parts.
    void reset_i(const char* text);
    // Drops every part.
    void destroy() { pairs_.clear(); }

private:
    std::vector<std::pair<std::string, std::string>> pairs_;
};

class HTTP_Base {
public:
    // Status 200; no headers.
    HTTP_Base(int major = 1, int minor = 1) : major_(major), minor_(minor) {}
    virtual ~HTTP_Base() = default;
    HTTP_Base(const HTTP_Base&) = delete;
    HTTP_Base& operator=(const HTTP_Base&) = delete;

    int major_version() const { return major_; }
    void major_version(int major) { major_ = major; }
    int minor_version() const { return minor_; }
    void minor_version(int minor) { minor_ = minor; }
    HTTP_Headers& headers() { return headers_; }
    const HTTP_Headers& headers() const { return headers_; }
    int status() const { return status_; }
    void status(int status) { status_ = status; }

    // Version 1.1 and status 200; the headers stay as they are.
    void reset() {
        major_ = 1;
        minor_ = 1;
        status_ = 200;
    }

    // Whether the connection stays open after this message: the Connection
    // header's "close" or "keep-alive" when it has one, else true from
    // HTTP/1.1 on. The setter writes the Connection header.
    bool keep_alive() const;
    void keep_alive(bool on) { headers_.put(HTTP_HEAD_CONNECTION, on ? "keep-alive" : "close"); }

    // Whether the body is chunked: "chunked" among the Transfer-Encoding
    // header's codings. The setter writes or clears that header.
    bool chunked_transfer_encoding() const;
    void chunked_transfer_encoding(bool on) {
        headers_.put(HTTP_HEAD_TRANSFER_ENCODING, on ? "chunked" : nullptr);
    }

    // The Content-Length header's number; 0 when it is missing or not a
    // decimal number. The setter writes the header (also for 0).
    uint64_t content_length() const;
    void content_length(uint64_t length);

    const char* content_type() const { return headers_.get(HTTP_HEAD_CONTENT_TYPE); }
    void content_type(const char* type) { headers_.put(HTTP_HEAD_CONTENT_TYPE, type); }

private:
    int major_;
    int minor_;
    HTTP_Headers headers_;
    int status_ = 200;
};

class HTTP_Request : public HTTP_Base {
public:
    // method: an index of wirekit's method table, -1 for none; uri may be null.
    HTTP_Request(int method = -1, const char* uri = nullptr, int major = 1, int minor = 1)
        : HTTP_Base(major, minor), method_(method) {
        this->uri(uri);
    }

    int method() const { return method_; }
    void method(int method) { method_ = method; }

    // The URI as given (null when none), its path percent-decoded (empty when
    // none), and the parsed query after its '?'.
    const char* uri() const { return uri_.get(); }
    // Replaces the URI with a copy (null: none) and parses it again.
    void uri(const char* uri);
    const char* decoded_uri() const { return decoded_uri_.c_str(); }
    const HTTP_Query_String& query_string() const { return query_; }

    // Method -1, no URI, and the base's reset.
    void reset() {
        method_ = -1;
        uri(nullptr);
        HTTP_Base::reset();
    }

    // The session cookie: the Cookie header slot (a null text empties it).
    const char* cookie() const { return headers().get(HTTP_HEAD_COOKIE); }
    void cookie(const char* cookie) { headers().put(HTTP_HEAD_COOKIE, cookie); }

    // Whether the body holds the user's credentials (a password): like a session cookie, they
    // are for the server they were sent to and go to no other, redirect or not. Kept by reset.
    bool credentials() const { return credentials_; }
    void credentials(bool carried) { credentials_ = carried; }

private:
    int method_;
    bool credentials_ = false;
    std::unique_ptr<char[]> uri_;
    std::string decoded_uri_;
    HTTP_Query_String query_;
};

class HTTP_Response : public HTTP_Base {
public:
    HTTP_Response(int major = 1, int minor = 1) : HTTP_Base(major, minor) {}

    // The cookie the server hands out: the Set-Cookie header slot.
    const char* set_cookie() const { return headers().get(HTTP_HEAD_SET_COOKIE); }
    void set_cookie(const char* cookie) { headers().put(HTTP_HEAD_SET_COOKIE, cookie); }
};
