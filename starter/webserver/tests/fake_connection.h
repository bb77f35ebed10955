// An in-memory request for driving the server's request handling without sockets, and a plug-in
// made of functions of the test.
#pragma once

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "starter/webserver/connection.h"
#include "starter/webserver/plugin.h"

namespace tovel::web::testing {

// A request that came in on port kFakePort from 127.0.0.1, with "Host: 127.0.0.1:<kFakePort>"
// unless the test changes or removes it.
class FakeConnection : public Connection {
public:
    static constexpr int kFakePort = 8888;

    FakeConnection(std::string method, std::string path)
        : method_(std::move(method)), path_(std::move(path)) {
        headers_.emplace_back("Host", "127.0.0.1:" + std::to_string(kFakePort));
    }

    // The body as the transport hands it out: each piece at most one read. declared is the
    // announced length (-1: none, as for a chunked body).
    void set_body(std::vector<std::string> pieces, long long declared) {
        pieces_ = std::move(pieces);
        declared_ = declared;
    }
    void set_query(std::string query) { query_ = std::move(query); }
    // Adds a header, or replaces the one of that name.
    void add_header(std::string name, std::string value) {
        remove_header(name);
        headers_.emplace_back(std::move(name), std::move(value));
    }
    void remove_header(const std::string& name) {
        std::erase_if(headers_, [&](const auto& h) {
            return strcasecmp(h.first.c_str(), name.c_str()) == 0;
        });
    }
    // The client's IPv4 address (0: a client of another family, "::1").
    void set_remote_ipv4(uint32_t address) {
        remote_ip_ = address;
        address_ = address == 0 ? "::1"
                                : std::to_string(address >> 24) + "." +
                                      std::to_string((address >> 16) & 255) + "." +
                                      std::to_string((address >> 8) & 255) + "." +
                                      std::to_string(address & 255);
    }
    // The client's address as text; remote_ipv4() follows it.
    void set_remote_address(std::string address) {
        in_addr v4{};
        remote_ip_ = inet_pton(AF_INET, address.c_str(), &v4) == 1 ? ntohl(v4.s_addr) : 0;
        address_ = std::move(address);
    }
    bool ended() const { return ended_; }

    const std::string& written() const { return out_; }
    long long bytes_read() const { return bytes_read_; }

    const char* method() const override { return method_.c_str(); }
    const char* path() const override { return path_.c_str(); }
    const char* query() const override { return query_ ? query_->c_str() : nullptr; }
    const char* http_version() const override { return "1.1"; }
    const char* header(const char* name) const override {
        for (const auto& [n, v] : headers_) {
            if (strcasecmp(n.c_str(), name) == 0) return v.c_str();
        }
        return nullptr;
    }
    uint32_t remote_ipv4() const override { return remote_ip_; }
    const char* remote_address() const override { return address_.c_str(); }
    int remote_port() const override { return 40000; }
    int local_port() const override { return kFakePort; }
    long long content_length() const override { return declared_; }
    int read(void* data, size_t length) override {
        if (next_ == pieces_.size()) return 0;
        std::string& piece = pieces_[next_];
        size_t n = std::min(length, piece.size() - offset_);
        std::copy_n(piece.data() + offset_, n, static_cast<char*>(data));
        offset_ += n;
        bytes_read_ += static_cast<long long>(n);
        if (offset_ == piece.size()) {
            ++next_;
            offset_ = 0;
        }
        return static_cast<int>(n);
    }
    int write(const void* data, size_t length) override {
        out_.append(static_cast<const char*>(data), length);
        return static_cast<int>(length);
    }
    int readable(long, long) override { return 0; }
    void end_connection() override { ended_ = true; }

private:
    std::string method_, path_;
    uint32_t remote_ip_ = 0x7F000001;
    std::string address_ = "127.0.0.1";
    bool ended_ = false;
    std::optional<std::string> query_;
    std::vector<std::pair<std::string, std::string>> headers_;
    std::vector<std::string> pieces_;
    size_t next_ = 0, offset_ = 0;
    long long declared_ = -1;
    long long bytes_read_ = 0;
    std::string out_;
};

// A plug-in whose exports are the given functions.
class FunctionPlugin : public Plugin {
public:
    explicit FunctionPlugin(std::map<std::string, void*> exports) : exports_(std::move(exports)) {}
    void* symbol(const char* name) const override {
        auto it = exports_.find(name);
        return it == exports_.end() ? nullptr : it->second;
    }

private:
    std::map<std::string, void*> exports_;
};

}  // namespace tovel::web::testing
