#include "job/core/json_storage.h"

#include <exception>

#include "common/ace_log_wrapper.h"
#include "common/replace_file.h"
#include "common/text_conv.h"
#include "platform/win32.h"

namespace {

// The whole file at path, read with every kind of sharing allowed.
bool read_whole_file(const std::wstring& path, std::string& out) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string text;
    char buffer[8192];
    bool ok = true;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &read, nullptr)) {
            ok = false;
            break;
        }
        if (read == 0) break;
        text.append(buffer, read);
    }
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(file);
    if (!ok) {
        SetLastError(error);
        return false;
    }
    out.swap(text);
    return true;
}

// Writes text beside path, flushes it and renames it over path.
template <int Kind>
bool is_kind(const json_spirit::Value& value) {
    return value.type() == (Kind == 0 ? json_spirit::obj_type : json_spirit::array_type);
}

template <int Kind>
const auto& content_of(const json_spirit::Value& value) {
    if constexpr (Kind == 0)
        return value.get_obj();
    else
        return value.get_array();
}

}  // namespace

template <int Kind, class Container>
bool JSONStorage<Kind, Container>::load(const char* newPath) {
    if (newPath) path = newPath;
    if (path.empty()) return false;
    try {
        std::string text;
        if (!read_whole_file(from_utf8(path), text)) return false;
        json_spirit::Value value;
        json_spirit::read_or_throw(text, value);
        if (!is_kind<Kind>(value)) {
            log_message(LM_WARNING, "JSON file %s holds a value of another kind.\n", path.c_str());
            return false;
        }
        container = content_of<Kind>(value);
        return true;
    } catch (const json_spirit::Error_position& error) {
        log_message(LM_WARNING, "Failed to parse JSON file %s at line %u, column %u: %s.\n",
                    path.c_str(), error.line_, error.column_, error.reason_.c_str());
    } catch (const std::exception& error) {
        log_message(LM_WARNING, "Failed to read JSON file %s: %s.\n", path.c_str(), error.what());
    }
    return false;
}

template <int Kind, class Container>
std::string JSONStorage<Kind, Container>::formattedText() const {
    return json_spirit::write_formatted(json_spirit::Value(container));
}

template <int Kind, class Container>
bool JSONStorage<Kind, Container>::save() {
    if (path.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    bool ok = false;
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    try {
        ok = replace_file(from_utf8(path), formattedText());
        if (!ok) error = GetLastError();
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok) {
        SetLastError(error);
        log_message(LM_ERROR, "Failed to write JSON file %s, %m.\n", path.c_str());
        SetLastError(error);
    }
    return ok;
}

template class JSONStorage<0, std::map<std::string, json_spirit::Value>>;
template class JSONStorage<1, std::vector<json_spirit::Value>>;
