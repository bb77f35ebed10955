#include "starter/server_options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/text_conv.h"
#include "platform/win32.h"
#include "starter/host_path.h"

using namespace tovel::web;

namespace {

constexpr char kOptionsFile[] = "mongoose.conf";
constexpr char kDefaultPorts[] = "127.0.0.1:8080";

// Reads one options file; 0, or 1 after an option the server refused.
int read_options_file(mg_context* ctx, FILE* file, const char* path) {
    char line[512];
    char name[512];
    char value[512];
    int number = 0;
    while (std::fgets(line, sizeof line, file)) {
        ++number;
        if (line[0] == '#' || line[0] == '\n') continue;
        if (std::sscanf(line, "%511s %511[^\r\n#]", name, value) != 2) {
            std::fprintf(stderr, "%s: line %d is invalid\n", path, number);
            continue;
        }
        if (mg_set_option(ctx, name, value) != 1) {
            std::fprintf(stderr, "%s: line %d: the web server refused option %s \"%s\"\n", path,
                         number, name, value);
            return 1;
        }
    }
    return 0;
}

}  // namespace

bool data_file_path(char* buffer, const char* name) {
    buffer[0] = '\0';
    std::wstring folder;
    if (!common_appdata_path(folder, tovel::kDataSubFolder)) return false;
    std::string path = to_utf8(folder) + "\\" + name;
    if (path.size() >= MAX_PATH) return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

int load_server_options(mg_context* ctx, int argc, char** argv) {
    int first = 1;
    while (first < argc && argv[first][0] == '-') {
        ++first;
        if (first < argc && argv[first][0] != '-') ++first;
    }
    if (argc - first >= 2) {
        mg_show_usage_string(stderr);
        return 1;
    }

    bool named = first < argc;
    std::string path;
    if (named) {
        path = argv[first];
    } else {
        char windowsPath[MAX_PATH];
        if (data_file_path(windowsPath, kOptionsFile))
            path = tovel::starter::host_file_path(from_utf8(windowsPath));
    }
    FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "re");
    if (!file && named) {
        std::fprintf(stderr, "cannot open config file %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (file) {
        std::printf("Loading config file %s\n", path.c_str());
        std::fflush(stdout);
        int result = read_options_file(ctx, file, path.c_str());
        std::fclose(file);
        if (result != 0) return result;
    }

    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i][0] != '-' || argv[i + 1][0] == '-') continue;
        if (mg_set_option(ctx, argv[i] + 1, argv[i + 1]) != 1) {
            std::fprintf(stderr, "the web server refused option %s \"%s\"\n", argv[i] + 1,
                         argv[i + 1]);
            return 1;
        }
        ++i;
    }
    return 0;
}

int set_default_ports(mg_context* ctx) {
    if (mg_get_option(ctx, "ports")) return 1;
    return mg_set_option(ctx, "ports", kDefaultPorts) == 1 ? 1 : 0;
}

int place_document_folder(mg_context* ctx) {
    const char* root = mg_get_option(ctx, "root");
    if (!root || !*root || root[0] == '/') return 1;
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 0;
    std::wstring folder(program, length);
    size_t slash = folder.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return 0;
    std::string host = tovel::starter::host_file_path(folder.substr(0, slash));
    if (host.empty()) return 0;
    std::string placed = host + "/" + root;
    return mg_set_option(ctx, "root", placed.c_str()) == 1 ? 1 : 0;
}
