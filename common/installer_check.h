// The downloaded installer and its progress record "updates\info", shared by
// the updater, which downloads and starts the installer, and the web
// interface, which starts it on request. The service runs the installer with
// its own rights, so it is started only after check_installer passes at that
// moment. Any thread; no state of its own.
#pragma once

#include <cstdint>
#include <string>

namespace tovel {

// The progress of a download: the installer's size, the bytes of it already
// in the file, and its md5 text. A new record is {0, 0, ""}.
struct InstallerInfo {
    int64_t size = 0;
    int64_t offset = 0;
    std::wstring md5sum;
};

// "<data folder>\updates\" (ends in a back-slash). The folder is made, open
// to its owner only, when it is missing; empty when the application-data
// folder cannot be named.
std::wstring updates_folder();

// How reading the progress record went. Every outcome but kOk leaves the
// record at {0, 0, ""}.
enum class InfoRead {
    kOk,
    kUnreadable,  // no such file, or it cannot be opened
    kNotJson,
    kNotObject,
    kMissingKey,  // "size", "md5sum" or "offset" missing
    kBadType,     // not two non-negative integers and a text
};

// Reads the record at path: one JSON object, UTF-8 bytes.
InfoRead read_installer_info(const std::wstring& path, InstallerInfo& info);

// Writes the record to path in its compact form ({"md5sum":...,"offset":...,
// "size":...}), through a temporary file renamed over it, so that the file
// always holds a whole record. Readable and writable by its owner only.
// false with the last error set.
bool write_installer_info(const std::wstring& path, const InstallerInfo& info);

enum class InstallerCheck {
    kOk,
    kNotPrivate,   // the folder or the file belongs to another user or others may write it
    kNotRegular,   // missing, a link, a folder or a special file
    kIncomplete,   // the record's size and offset differ, or the file's size differs
    kMd5Mismatch,  // the bytes' MD5 is not the record's md5 text (any case)
    kUnreadable,   // a read failed
};

// Checks "<folder>Tovel.exe" against the record: a regular file of this
// user's, in a folder of this user's, neither writable by others, whose
// size equals the record's size and offset, and whose bytes' MD5 equals the
// record's md5 text. folder ends in a back-slash (updates_folder()).
InstallerCheck check_installer(const std::wstring& folder, const InstallerInfo& info);

// A short English text of a check's result, for the log.
const char* installer_check_text(InstallerCheck result);

// Whether text is an MD5 text: 32 hexadecimal digits (any case).
bool is_md5_text(const std::wstring& text);

}  // namespace tovel
