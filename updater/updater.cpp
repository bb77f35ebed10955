#include "updater/updater.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <cwctype>
#include <vector>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "starter/logger_setup.h"

namespace tovel::updater {
namespace {

constexpr char kMd5Path[] = "/tovel/updates/Tovel.exe.md5sum";
constexpr char kInstallerPath[] = "/tovel/updates/Tovel.exe";
// An md5 text is 32 digits; a body longer than this is no md5 text.
constexpr size_t kMaxMd5Body = 4096;
constexpr wchar_t kInstanceName[] = L"{AEA38923-C032-4eb4-9972-5D1A94180604}";

// Logs format with the last error's code and text as its last two values.
template <class... Values>
void log_error(int priority, const char* format, Values... values) {
    DWORD error = GetLastError();
    win32_error_wtext text(error);
    log_message(priority, format, values..., static_cast<int>(error), text.text());
    SetLastError(error);
}

// The first word of bytes (white space before it skipped), widened.
std::wstring first_word(const std::string& bytes) {
    size_t start = 0;
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (start < bytes.size() && space(bytes[start])) ++start;
    size_t end = start;
    while (end < bytes.size() && !space(bytes[end])) ++end;
    return from_utf8(bytes.substr(start, end - start));
}

std::wstring lower(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    void close() {
        if (valid()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

// Up to limit + 1 bytes of a file; false when it cannot be opened or read.
bool read_bytes(const std::wstring& path, size_t limit, std::string& out) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    out.assign(limit + 1, '\0');
    DWORD total = 0;
    for (DWORD got = 1; got > 0 && total < out.size();) {
        if (!ReadFile(file.get(), out.data() + total, static_cast<DWORD>(out.size()) - total, &got,
                      nullptr))
            return false;
        total += got;
    }
    out.resize(total);
    return true;
}

// The Content-Range of a 206 starts at offset ("bytes <offset>-...").
bool range_starts_at(RequestRoot& request, int64_t offset) {
    std::string range = request.query_header(WINHTTP_QUERY_CUSTOM, L"Content-Range");
    std::string expected = "bytes " + std::to_string(offset) + "-";
    return range.compare(0, expected.size(), expected) == 0;
}

}  // namespace

Updater::Updater() : connector_(std::make_unique<ServerConnector>()) {}

Updater::Updater(std::unique_ptr<ServerConnector> connector) : connector_(std::move(connector)) {}

bool Updater::init() {
    ACE_TRACE("Updater::init");
    if (open_winhttp_session() != 0) {
        log_error(LM_ERROR, "Failed to open WinHTTP session, error-code = %d, %W.\n");
        return false;
    }
    if (!connector_->handle() && connector_->open() != 0) {
        log_error(LM_ERROR,
                  "Failed to open WinHTTP connection to Tovel server, error-code = %d, %W.\n");
        return false;
    }
    folder_ = updates_folder();
    installed_info();
    cached_info();
    newest_info();
    return !newest_.md5sum.empty() && newest_.size > 0;
}

bool Updater::outdated() const {
    return installed_.md5sum.empty() || lower(installed_.md5sum) != newest_.md5sum;
}

void Updater::installed_info() {
    ACE_TRACE("Updater::installed_info");
    installed_ = InstallerInfo();
    WCHAR module[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring path(module, length < MAX_PATH ? length : 0);
    size_t slash = path.find_last_of(L"\\/");
    path = (slash == std::wstring::npos ? L"" : path.substr(0, slash)) + L"\\Tovel.exe.md5sum";
    std::string bytes;
    if (!read_bytes(path, kMaxMd5Body, bytes)) {
        log_error(LM_ERROR,
                  "Can't get version information of Tovel installed in local system, "
                  "error-code = %d, %W.\n");
        return;
    }
    // The installed text's first word; a file that begins with white space
    // names no version.
    if (!bytes.empty() && bytes[0] != ' ' && bytes[0] != '\t' && bytes[0] != '\r' &&
        bytes[0] != '\n')
        installed_.md5sum = first_word(bytes);
}

void Updater::cached_info() {
    ACE_TRACE("Updater::cached_info");
    switch (read_installer_info(folder_ + L"info", cached_)) {
        case InfoRead::kOk:
            break;
        case InfoRead::kUnreadable:
            log_error(LM_ERROR, "Can't get cached installer information, error-code = %d, %W.\n");
            return;
        case InfoRead::kNotJson:
            log_message(LM_ERROR,
                        "Failed to read installer information file, the file content is not "
                        "formatted as json_spirit object.\n");
            return;
        case InfoRead::kNotObject:
            log_message(LM_ERROR,
                        "Invalid cached installer information file format, the content is not an "
                        "json_spirit object type.\n");
            return;
        case InfoRead::kMissingKey:
            log_message(LM_ERROR,
                        "Can't find the cached installer file information, can't find the size "
                        "or version or offset.\n");
            return;
        case InfoRead::kBadType:
            log_message(LM_ERROR,
                        "Invalid installer information file content.invalid size or version or "
                        "offset value.\n");
            return;
    }
    if (cached_.offset > cached_.size) {
        log_message(LM_ERROR,
                    "Invalid installer information, invalid size or version or offset value, "
                    "offset is larger than size, both reset to zero.\n");
        cached_.size = 0;
        cached_.offset = 0;
    }
}

void Updater::newest_info() {
    ACE_TRACE("Updater::newest_info");
    newest_ = InstallerInfo();
    {
        MD5Request request;
        if (request.open("GET", *connector_, kMd5Path) != 0) {
            log_error(LM_ERROR,
                      "Failed get newest version info of Tovel, open request to server failed, "
                      "error-code = %d, %W\n");
            return;
        }
        if (request.send() != 0) {
            log_error(LM_ERROR,
                      "Failed get newest version info of Tovel, send request to server failed, "
                      "error-code = %d, %W.\n");
            return;
        }
        std::string body;
        if (request.receive() != 0 || request.read_all(body, kMaxMd5Body) < 0) {
            log_error(LM_ERROR,
                      "Failed get newest version info of Tovel, receive response from server "
                      "failed, error-code = %d, %W.\n");
            return;
        }
        int status = request.status_code();
        if (status != 200) {
            log_message(LM_ERROR,
                        "Failed get newest version info of Tovel, receive unexpected response "
                        "from server, status-code = %d.\n",
                        status);
            return;
        }
        // The md5 text alone, whatever white space surrounds it.
        std::wstring md5 = body.size() > kMaxMd5Body ? L"" : first_word(body);
        if (!is_md5_text(md5)) {
            log_message(LM_ERROR,
                        "Failed get newest version info of Tovel, invalid server response "
                        "content, response-status-code = %d.\n",
                        status);
            return;
        }
        newest_.md5sum = lower(md5);
    }
    InstallerHeadRequest head;
    if (head.open("HEAD", *connector_, kInstallerPath) != 0) {
        log_error(LM_ERROR,
                  "Failed get size of newest Tovel, open request to server failed, error-code = "
                  "%d, %W.\n");
        return;
    }
    if (head.send() != 0) {
        log_error(LM_ERROR,
                  "Failed get size of newest Tovel, send request to server failed, error-code = "
                  "%d, %W.\n");
        return;
    }
    if (head.receive() != 0) {
        log_error(LM_ERROR,
                  "Failed get size of newest Tovel, receive response from server failed, "
                  "error-code = %d, %W.\n");
        return;
    }
    int status = head.status_code();
    if (status != 200) {
        log_message(LM_ERROR,
                    "Failed get size of newest Tovel, receive unexpected response from server, "
                    "status-code = %d.\n",
                    status);
        return;
    }
    int64_t size = head.content_length();
    if (size < 1) {
        // No length (or none that is a number) names no download.
        log_message(LM_ERROR,
                    "Failed get size of newest Tovel, invalid content length header field, "
                    "content-length = %q.\n",
                    static_cast<long long>(size));
        newest_.md5sum.clear();
        return;
    }
    newest_.size = size;
}

bool Updater::save_cached_info() {
    if (write_installer_info(folder_ + L"info", cached_)) return true;
    log_error(LM_TRACE,
              "Failed to open cached installer information file for writing, error-code = %d, "
              "%W.\n");
    return false;
}

void Updater::discard_download() {
    DeleteFileW(installer_path().c_str());
    cached_ = InstallerInfo();
    save_cached_info();
}

bool Updater::download() {
    ACE_TRACE("Updater::download");
    if (!cached_.md5sum.empty() && cached_.md5sum == newest_.md5sum &&
        cached_.size == newest_.size && cached_.offset == newest_.size)
        return true;  // downloaded already; install() checks it
    if (cached_.md5sum != newest_.md5sum) {
        cached_ = InstallerInfo{newest_.size, 0, newest_.md5sum};
    } else if (cached_.size != newest_.size) {
        cached_.size = newest_.size;
        cached_.offset = 0;
    }
    save_cached_info();

    // What the file holds must reach the saved offset before a range is
    // asked from there; else the download starts over next run.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1,
                                                         &descriptor, nullptr);
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    FileHandle file(CreateFileW(installer_path().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                descriptor ? &security : nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (descriptor) LocalFree(descriptor);
    if (!file.valid()) {
        log_error(LM_ERROR,
                  "Failed download newest version of Tovel, failed to open Tovel.exe to write, "
                  "error-code = %d, %W.\n");
        return false;
    }
    LARGE_INTEGER fileSize{};
    if (!GetFileSizeEx(file.get(), &fileSize) ||
        static_cast<uint64_t>(fileSize.QuadPart) < static_cast<uint64_t>(cached_.offset)) {
        log_message(LM_ERROR,
                    "Invalid offset value, the downloaded file size is smalller than the "
                    "offset.\n");
        cached_.offset = 0;
        save_cached_info();
        return false;
    }

    InstallerGetRequest request;
    if (request.open("GET", *connector_, kInstallerPath) != 0) {
        log_error(LM_ERROR,
                  "Failed download newest version of Tovel, open request to server failed, "
                  "error-code = %d, %W.\n");
        return false;
    }
    if (request.set_range(cached_.offset) != 0) {
        log_error(LM_ERROR,
                  "Failed download newest version of Tovel, set request headers failed, "
                  "error-code = %d, %W.\n");
        return false;
    }
    if (request.send() != 0) {
        log_error(LM_ERROR,
                  "Failed download newest version of Tovel, send request to server failed, "
                  "error-code = %d, %W.\n");
        return false;
    }
    if (request.receive() != 0) {
        log_error(LM_ERROR,
                  "Failed download newest version of Tovel, recieve response from server failed, "
                  "error-code = %d, %W.\n");
        return false;
    }
    int status = request.status_code();
    if (status == 416) {
        // The saved range lies past the server's file: start over next run.
        cached_ = InstallerInfo();
        save_cached_info();
    }
    bool resumed = status == 206 && cached_.offset > 0 && range_starts_at(request, cached_.offset);
    if (status != 200 && !resumed) {
        log_message(LM_ERROR,
                    "Failed download newest version of Tovel, recieve unexpected response , "
                    "status-code = %d.\n",
                    status);
        return false;
    }
    if (status == 200) cached_.offset = 0;  // the whole file, whatever was asked

    LARGE_INTEGER at{};
    at.QuadPart = cached_.offset;
    // A download from the start drops whatever an older file held.
    if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
        (cached_.offset == 0 && !SetEndOfFile(file.get()))) {
        log_error(LM_ERROR,
                  "Failed download newest version of Tovel, failed to move file pointer to: %Q, "
                  "error-code = %d, %W.\n",
                  static_cast<unsigned long long>(cached_.offset));
        return false;
    }
    std::vector<char> buffer(kChunkSize);
    for (;;) {
        int n = request.read_chunk(buffer.data());
        if (n == 0) break;
        if (n < 0) return false;
        // Never past the announced size: a longer body fails the run.
        int64_t room = cached_.size - cached_.offset;
        DWORD wanted = static_cast<DWORD>(std::min<int64_t>(n, room));
        DWORD written = 0;
        if (wanted > 0 && !WriteFile(file.get(), buffer.data(), wanted, &written, nullptr)) {
            log_error(LM_ERROR,
                      "Failed download newest version of Tovel, failed to write Tovel.exe, "
                      "error-code = %d, %W.\n");
            return false;
        }
        cached_.offset += written;
        if (!save_cached_info()) return false;
        if (wanted < static_cast<DWORD>(n)) {
            log_message(LM_ERROR,
                        "Failed download newest version of Tovel, the server sent more than the "
                        "size of Tovel on server: %Q.\n",
                        static_cast<unsigned long long>(cached_.size));
            return false;
        }
    }
    file.close();
    if (cached_.offset == newest_.size) return true;
    SetLastError(ERROR_SUCCESS);
    log_error(LM_ERROR,
              "Downloaded, but the downloaded size is not the same as the size of Tovel on "
              "server, downloaded: %Q size on server: %Q, error-code = %d, %W.\n",
              static_cast<unsigned long long>(cached_.offset),
              static_cast<unsigned long long>(newest_.size));
    return false;
}

bool Updater::install() {
    ACE_TRACE("Updater::install");
    InstallerCheck check = check_installer(folder_, cached_);
    if (check != InstallerCheck::kOk) {
        log_message(LM_ERROR, "The downloaded installer is not started, %s.\n",
                    installer_check_text(check));
        discard_download();
        return false;
    }
    std::wstring path = installer_path();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = path.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) {
        log_error(LM_TRACE, "Failed to execute the installer, error-code = %d, %W.\n");
        return false;
    }
    return true;
}

bool Updater::fini() {
    ACE_TRACE("Updater::fini");
    if (connector_->handle() && connector_->close() != 0) {
        log_error(LM_TRACE, "Failed to close connetion to Tovel server, error-code = %d, %W.\n");
        return false;
    }
    if (close_winhttp_session() != 0) {
        log_error(LM_TRACE, "Failed to close WINHTTP session, error-code = %d, %W.\n");
        return false;
    }
    return true;
}

int run_update() {
    setup_ace_logger("updater.conf", "updater.log");
    // Made, not opened first: of two updaters that start at once, one runs.
    HANDLE instance = CreateMutexW(nullptr, FALSE, kInstanceName);
    if (!instance) {
        log_error(LM_ERROR, "Failed to create the updater's instance lock, error-code = %d, %W.\n");
    } else if (GetLastError() == ERROR_ALREADY_EXISTS) {
        log_message(LM_INFO, "Another updater is running.\n");
        CloseHandle(instance);
    } else {
        {
            Updater updater;
            if (updater.init() && updater.outdated() && updater.download()) updater.install();
            updater.fini();
        }
        CloseHandle(instance);
    }
    close_ace_logger();
    return 0;
}

}  // namespace tovel::updater
