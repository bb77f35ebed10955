// The options a server context holds until it listens, under the engine's names or the short
// names that options files use, and the set handed to the engine when it starts.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tovel::web {

// Listening address when no "ports" option is given: this machine only.
inline constexpr const char* kDefaultPorts = "127.0.0.1:8080";

class OptionSet {
public:
    // The engine's name for name (an engine name or a short name), or null when unknown.
    static const char* canonical(const char* name);

    // Stores value under name's engine name; false for an unknown name. An empty value is a value.
    // A listening entry without an address is stored bound to 127.0.0.1 ("8888" becomes
    // "127.0.0.1:8888").
    bool set(const char* name, const char* value);

    // The stored value, or null when name is unknown or unset. Valid until name is set again or
    // the set is destroyed.
    const char* get(const char* name) const;

    // The name-value pairs to start the engine with: what was set, defaults for what was not, and
    // the settings that this server fixes whatever the options say, with request_timeout_ms as
    // the time a client may stall a read or a write.
    std::vector<std::pair<std::string, std::string>> engine_options(int request_timeout_ms) const;

    // The usage text: command line, then every option name with its default.
    static void show_usage(FILE* stream);

private:
    std::map<std::string, std::string> values_;  // by engine name
};

}  // namespace tovel::web
