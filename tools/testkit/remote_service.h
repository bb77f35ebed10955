// The remote-service simulator (tools/remote-service) as a test's peer: it
// starts on a free loopback port with its state in the test's machine, and
// stops with the object.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tovel::testing {

class RemoteService {
public:
    // Starts the simulator with extra command-line arguments (accounts,
    // cookies, faults...). A start that fails is a test failure; port() is 0.
    explicit RemoteService(const std::vector<std::string>& arguments = {});
    // Stops it and waits for it.
    ~RemoteService();
    RemoteService(const RemoteService&) = delete;
    RemoteService& operator=(const RemoteService&) = delete;

    unsigned short port() const { return port_; }
    // text percent-encoded for a query of the inspection endpoints (every
    // byte but letters and digits).
    static std::string query_text(const std::string& text);
    // One control request (path under /_sim/ without the leading "/"); the
    // reply's text.
    std::string control(const std::string& method, const std::string& path,
                        const std::string& json = "") const;

private:
    pid_t pid_ = -1;
    int input_ = -1;  // the simulator's standard input: it stops when it closes
    FILE* output_ = nullptr;
    unsigned short port_ = 0;
};

}  // namespace tovel::testing
