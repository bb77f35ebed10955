#include "job/stores/options.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <exception>
#include <string_view>
#include <utility>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/file_stream.h"
#include "common/replace_file.h"
#include "platform/win32.h"
#include "wirekit/http_timeouts.h"

namespace {

const char kName[] = "webServerName";
const char kHost[] = "webServerHost";
const char kPort[] = "webServerPort";
const char kRetryTimes[] = "loginRetrytimes";
const char kAgainAfter[] = "loginAgainAfter";
const char kStartAt[] = "update_start_at";
const char kAgainAt[] = "update_again_at";
const char kSnapshot[] = "enableSnapshot";
const char kConnectTimeout[] = "connectTimeout";
const char kSendTimeout[] = "sendTimeout";
const char kReceiveTimeout[] = "receiveTimeout";
const char kExchangeTimeout[] = "exchangeTimeout";
const char kExchangeMinRate[] = "exchangeMinRate";

constexpr unsigned short kDefaultPort = 80;
constexpr int kDefaultRetryTimes = 5;
constexpr int kDefaultAgainAfter = 300;
constexpr int kDefaultStartAt = 600000;
constexpr int kDefaultAgainAt = 14400000;
constexpr int kLeastStartAt = 20000;
constexpr int kLeastAgainAt = 120000;

// The longest path a Windows module name can have.
constexpr DWORD kLongestPath = 32768;

class Locked {
public:
    explicit Locked(ATL::CComAutoCriticalSection& lock) : lock_(lock) { lock_.Lock(); }
    ~Locked() { lock_.Unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    ATL::CComAutoCriticalSection& lock_;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Four decimal numbers of 0 to 255 without leading zeros, joined by dots.
bool is_ipv4(std::string_view text) {
    size_t i = 0;
    for (int part = 0;; ++part) {
        size_t start = i;
        unsigned value = 0;
        while (i < text.size() && i - start < 3 && is_digit(text[i]))
            value = value * 10 + static_cast<unsigned>(text[i++] - '0');
        size_t length = i - start;
        if (length == 0 || value > 255 || (length > 1 && text[start] == '0')) return false;
        if (part == 3) return i == text.size();
        if (i == text.size() || text[i] != '.') return false;
        ++i;
    }
}

// Eight groups of 1 to 4 hexadecimal digits joined by colons, where one "::"
// stands for one or more groups of zeros and the last two groups may be
// written as a dotted quad.
bool is_ipv6(std::string_view text) {
    int groups = 0;
    bool compressed = false;
    size_t i = 0;
    if (text.substr(0, 2) == "::") {
        compressed = true;
        i = 2;
        if (i == text.size()) return true;
    }
    for (;;) {
        size_t start = i;
        while (i < text.size() && i - start < 4 && is_hex(text[i])) ++i;
        if (i < text.size() && text[i] == '.') {
            if (!is_ipv4(text.substr(start))) return false;
            groups += 2;
            break;
        }
        if (i == start) return false;
        ++groups;
        if (i == text.size()) break;
        if (text[i++] != ':' || i == text.size()) return false;
        if (text[i] == ':') {
            if (compressed) return false;
            compressed = true;
            if (++i == text.size()) break;
        }
    }
    return compressed ? groups <= 7 : groups == 8;
}

// Dot-separated labels of letters, digits and hyphens; the last one not all
// digits, so that a mistyped address is not taken for a name.
bool is_host_name(std::string_view text) {
    if (text.empty() || text.size() > 253) return false;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('.', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view label = text.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        bool numeric = true;
        for (char c : label) {
            if (!is_letter(c) && !is_digit(c) && c != '-') return false;
            if (!is_digit(c)) numeric = false;
        }
        if (end == text.size()) return !numeric;
        start = end + 1;
    }
}

bool is_server_host(std::string_view text) {
    return is_host_name(text) || is_ipv4(text) || is_ipv6(text);
}

// The file "options" in the folder of the process's executable; empty when
// that path cannot be had or holds no back-slash.
std::wstring program_file_path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD size = static_cast<DWORD>(path.size());
        DWORD length = GetModuleFileNameW(nullptr, path.data(), size);
        if (length == 0) return std::wstring();
        if (length < size) {
            path.resize(length);
            break;
        }
        if (size >= kLongestPath) return std::wstring();
        path.resize(static_cast<size_t>(size) * 2);
    }
    size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return std::wstring();
    path.resize(slash + 1);
    return path + L"options";
}

// The file "options" in the data folder, which is created; empty when the
// application-data folder cannot be named.
std::wstring data_file_path() {
    std::wstring folder;
    if (!common_appdata_path(folder, tovel::kDataSubFolder)) return std::wstring();
    return folder + L"\\options";
}

bool exists(const std::wstring& path) {
    return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_file(const std::wstring& path) {
    if (path.empty()) return false;
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

OptionsImpl::OptionsImpl() {
    init();
    HTTP_Timeouts timeouts;
    timeouts.connect_ms = static_cast<DWORD>(connectTimeout());
    timeouts.send_ms = static_cast<DWORD>(sendTimeout());
    timeouts.recv_ms = static_cast<DWORD>(receiveTimeout());
    timeouts.exchange_ms = static_cast<DWORD>(exchangeTimeout());
    timeouts.min_rate = static_cast<DWORD>(exchangeMinRate());
    set_http_client_timeouts(timeouts);
}

OptionsImpl::~OptionsImpl() = default;

bool OptionsImpl::init() {
    ACE_TRACE("OptionsImpl::init");
    Locked guard(lock);
    std::wstring program = program_file_path();
    std::wstring data = data_file_path();
    const std::wstring* chosen = nullptr;
    if (is_file(program))
        chosen = &program;
    else if (exists(data))
        chosen = &data;
    if (!chosen) {
        log_message(LM_ERROR, "Neither \"%W\" nor \"%W\" exists.\n", program.c_str(), data.c_str());
        return false;
    }
    json_spirit::Value value;
    {
        win32_file_tistream<char> in(chosen->c_str(), nullptr);
        if (!in) {
            log_message(LM_ERROR, "Failed to open options storage for reading.\n");
            return false;
        }
        try {
            json_spirit::read_or_throw(in, value);
        } catch (const json_spirit::Error_position& error) {
            log_message(LM_ERROR, "Failed to parse options storage, Line %d, column %d, %s.\n",
                        static_cast<int>(error.line_), static_cast<int>(error.column_),
                        error.reason_.c_str());
            return false;
        }
    }
    if (value.type() != json_spirit::obj_type) {
        log_message(LM_ERROR, "Options storage is not JSON object.\n");
        return false;
    }
    options = std::move(value.get_obj());
    std::string host;
    if (json_spirit::object_get(options, kHost, host) && !host.empty() && !is_server_host(host))
        log_message(LM_ERROR,
                    "Options storage holds a web server host that is neither a host name nor an "
                    "IP address; no web server is set.\n");
    if (!exists(data)) save();
    return true;
}

bool OptionsImpl::save() {
    ACE_TRACE("OptionsImpl::save");
    std::string text;
    try {
        text = json_spirit::write_formatted(json_spirit::Value(options));
    } catch (const std::exception&) {
        log_message(LM_ERROR, "Failed to write options storage, out of memory.\n");
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    std::wstring data = data_file_path();
    bool opened = false;
    if (data.empty()) SetLastError(ERROR_PATH_NOT_FOUND);
    if (data.empty() || !replace_file(data, text, &opened, true)) {
        DWORD error = GetLastError();
        if (opened)
            log_message(LM_ERROR, "Failed to write options storage \"%W\", %m.\n", data.c_str());
        else
            log_message(LM_ERROR, "Failed to open options storage for writing.\n");
        SetLastError(error);
        return false;
    }
    std::wstring program = program_file_path();
    if (!program.empty()) replace_file(program, text, nullptr, true);
    return true;
}

void OptionsImpl::getServerInfo(std::string& host, unsigned short& port) const {
    Locked guard(lock);
    host.clear();
    json_spirit::object_get(options, kHost, host);
    if (!is_server_host(host)) host.clear();
    port = kDefaultPort;
    auto found = options.find(kPort);
    if (found != options.end() && found->second.type() == json_spirit::int_type) {
        const json_spirit::Value& value = found->second;
        port = static_cast<unsigned short>(
            value.is_uint64() ? value.get_uint64() : static_cast<uint64_t>(value.get_int64()));
    }
}

void OptionsImpl::getServerInfo(std::string& name, std::string& host, unsigned short& port) const {
    Locked guard(lock);
    name.clear();
    json_spirit::object_get(options, kName, name);
    getServerInfo(host, port);
}

bool OptionsImpl::setServerInfo(const char* name, const char* host, unsigned short port) {
    Locked guard(lock);
    if (!host || !is_server_host(host) || port == 0) return false;
    if (name && *name) options[kName] = json_spirit::Value(name);
    options[kHost] = json_spirit::Value(host);
    options[kPort] = json_spirit::Value(static_cast<int>(port));
    return save();
}

int OptionsImpl::get_int(const char* key, int fallback) const {
    Locked guard(lock);
    int value = fallback;
    json_spirit::object_get(options, key, value);
    return value;
}

int OptionsImpl::set_int(const char* key, int value) {
    Locked guard(lock);
    options[key] = json_spirit::Value(value);
    save();
    return value;
}

int OptionsImpl::loginRetrytimes() const { return get_int(kRetryTimes, kDefaultRetryTimes); }
int OptionsImpl::loginAgainAfter() const { return get_int(kAgainAfter, kDefaultAgainAfter); }
int OptionsImpl::update_start_at() const { return get_int(kStartAt, kDefaultStartAt); }

namespace {

int positive_or(int value, DWORD fallback) {
    return value > 0 ? value : static_cast<int>(fallback);
}

}  // namespace

int OptionsImpl::connectTimeout() const {
    return positive_or(get_int(kConnectTimeout, 0), HTTP_Timeouts::kDefaultConnectMs);
}
int OptionsImpl::sendTimeout() const {
    return positive_or(get_int(kSendTimeout, 0), HTTP_Timeouts::kDefaultSendMs);
}
int OptionsImpl::receiveTimeout() const {
    return positive_or(get_int(kReceiveTimeout, 0), HTTP_Timeouts::kDefaultRecvMs);
}
int OptionsImpl::exchangeTimeout() const {
    return positive_or(get_int(kExchangeTimeout, 0), HTTP_Timeouts::kDefaultExchangeMs);
}
int OptionsImpl::exchangeMinRate() const {
    return positive_or(get_int(kExchangeMinRate, 0), HTTP_Timeouts::kDefaultMinRate);
}
int OptionsImpl::update_again_at() const { return get_int(kAgainAt, kDefaultAgainAt); }

int OptionsImpl::loginRetrytimes(int value) {
    return set_int(kRetryTimes, value <= 0 ? kDefaultRetryTimes : value);
}
int OptionsImpl::loginAgainAfter(int value) {
    return set_int(kAgainAfter, value <= 0 ? kDefaultAgainAfter : value);
}
int OptionsImpl::update_start_at(int value) {
    return set_int(kStartAt, value < kLeastStartAt ? kLeastStartAt : value);
}
int OptionsImpl::update_again_at(int value) {
    return set_int(kAgainAt, value < kLeastAgainAt ? kLeastAgainAt : value);
}

bool OptionsImpl::enableSnapshot() const {
    Locked guard(lock);
    bool enabled = false;
    json_spirit::object_get(options, kSnapshot, enabled);
    return enabled;
}
