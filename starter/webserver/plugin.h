// The web interface plug-in: a library whose exported handlers answer the server's requests.
#pragma once

#include <memory>
#include <string>

namespace tovel::web {

class Plugin {
public:
    virtual ~Plugin() = default;
    // The address of the exported name, or null when the plug-in does not export it. Any thread.
    virtual void* symbol(const char* name) const = 0;
};

// The library at path, loaded for as long as the result lives; null with the loader's reason in
// error when it cannot be loaded.
std::unique_ptr<Plugin> load_plugin(const std::string& path, std::string& error);

// The folder of the running program's file, without a trailing slash ("" when unknown).
std::string program_folder();

// The plug-in that a server loads: "libportvane.so" in the program's folder.
std::string default_plugin_path();

}  // namespace tovel::web
