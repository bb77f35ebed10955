#include "job/storage/note_file.h"

#include "common/holders.h"
#include "platform/win32.h"

namespace {

constexpr size_t kMaxNote = 64 * 1024;

}  // namespace

bool write_note(const std::wstring& path, const std::string& text, bool durable) {
    scoped_handle note(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!note.valid()) return false;
    DWORD written = 0;
    return WriteFile(note.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size() && (!durable || FlushFileBuffers(note.get()));
}

std::string read_note(const std::wstring& path) {
    scoped_handle note(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    if (!note.valid()) return text;
    char chunk[4096];
    DWORD read = 0;
    while (text.size() < kMaxNote && ReadFile(note.get(), chunk, sizeof chunk, &read, nullptr) &&
           read > 0)
        text.append(chunk, read);
    return text;
}
