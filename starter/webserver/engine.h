// The HTTP engine under the server: it owns the listening sockets and the worker threads and
// hands each request to answer_request. Its own header stays inside engine.cpp and options.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tovel::web {

struct mg_context;

class Engine {
public:
    // Serves owner with owner's options; null with the engine's reason in error when it cannot
    // (a port that cannot be bound, a refused option). Called on the thread that owns owner.
    static std::unique_ptr<Engine> start(mg_context& owner, std::string& error);

    // Stops serving; returns once every worker thread has ended.
    virtual ~Engine() = default;

    // The bound ports, in the order of the listening option.
    virtual std::vector<int> ports() const = 0;
};

// The engine's version text.
const char* engine_version();

// Sets user's entry in the digest passwords file (removes it when password is null). True on
// success.
bool engine_modify_passwords(const char* file, const char* realm, const char* user,
                             const char* password);

// The engine's default for an option, "" when it has none.
const char* engine_default(const char* engine_name);

}  // namespace tovel::web
