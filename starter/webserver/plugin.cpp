#include "starter/webserver/plugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace tovel::web {
namespace {

class LoadedLibrary : public Plugin {
public:
    explicit LoadedLibrary(void* handle) : handle_(handle) {}
    ~LoadedLibrary() override { dlclose(handle_); }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    void* symbol(const char* name) const override { return dlsym(handle_, name); }

private:
    void* handle_;
};

}  // namespace

std::unique_ptr<Plugin> load_plugin(const std::string& path, std::string& error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        error = reason ? reason : "cannot load " + path;
        return nullptr;
    }
    return std::make_unique<LoadedLibrary>(handle);
}

std::string program_folder() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    std::string file(path, static_cast<size_t>(n));
    size_t slash = file.rfind('/');
    return slash == std::string::npos ? "" : file.substr(0, slash);
}

std::string default_plugin_path() { return program_folder() + "/libportvane.so"; }

}  // namespace tovel::web
