#include "job/sources/candidate_list.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <memory>

#include "common/ace_log_wrapper.h"
#include "common/file_stream.h"
#include "common/text_conv.h"
#include "common/utf16le.h"
#include "common/win32_error.h"

namespace {

// The pieces of the body go out in about this many bytes each.
constexpr size_t kPieceBytes = 64 * 1024;

uint64_t path_hash(const std::string& utf8) { return std::hash<std::string>()(utf8); }

uint64_t record_size(const std::wstring& path) { return 54 + 2 * (utf16_length(path) + 1); }

void append_number(std::string& out, int value) {
    char digits[16];
    auto done = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, done.ptr);
}

// One element of the body's "source" array; the bytes of its path as a
// JSON string.
size_t append_element(std::string& out, const WIN32_FILE_ATTRIBUTE_DATA& data,
                      const std::string& utf8) {
    out += "{\"mtimeHigh\":";
    append_number(out, static_cast<int>(data.ftLastWriteTime.dwHighDateTime));
    out += ",\"mtimeLow\":";
    append_number(out, static_cast<int>(data.ftLastWriteTime.dwLowDateTime));
    out += ",\"path\":";
    size_t before = out.size();
    append_json_string(out, utf8);
    size_t path = out.size() - before;
    out += '}';
    return path;
}

std::string body_head(const std::string& jobId) {
    std::string head = "{\"id\":";
    append_json_string(head, jobId);
    return head + ",\"source\":[";
}

constexpr char kBodyTail[] = "]}";

}  // namespace

void append_json_string(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    const char* plain = text.data();  // the first byte not yet appended
    const char* end = plain + text.size();
    for (const char* at = plain; at != end; ++at) {
        auto byte = static_cast<unsigned char>(*at);
        if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
        out.append(plain, at);
        plain = at + 1;
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += "\\u00";
                out += kHex[byte >> 4];
                out += kHex[byte & 15];
        }
    }
    out.append(plain, end);
    out += '"';
}

CandidateList::CandidateList(std::wstring file)
    : file_(std::move(file)), bodyFile_(candidate_body_path(file_)) {}

CandidateList::~CandidateList() {
    sender_.reset();
    lookup_.close();
    DeleteFileW(file_.c_str());
    DeleteFileW(bodyFile_.c_str());
}

std::wstring candidate_body_path(const std::wstring& file) { return file + L".body"; }

bool CandidateList::walk(const JobVolumeMap& volumes, FilterPolicy* filter) {
    offsets_.clear();
    index_.clear();
    chosen_.clear();
    picked_.clear();
    bodyItems_ = listBytes_ = 0;
    JobHistorySourceWriter writer;
    if (!writer.open(file_.c_str(), false)) return false;
    // The body's elements are made once, here, and sent from their file as
    // they stand.
    scoped_handle bodyHandle(CreateFileW(bodyFile_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!bodyHandle.valid()) {
        DWORD code = GetLastError();
        log_message(LM_ERROR, "Failed to make the work file '%s', errorcode=%d, %s.\n",
                    to_utf8(bodyFile_).c_str(), static_cast<int>(code),
                    win32_error_text(code).text());
        SetLastError(code);
        return false;
    }
    auto body = std::make_unique<basic_write_handle_streambuf<char, kPieceBytes>>(
        bodyHandle.release(), true);
    uint64_t written = 0;
    bool failed = false;
    std::string utf8;
    std::string element;
    JobActivitySourceGenerator generator;
    generator.sendItemsTo([&](JobActivitySourceItem& item) {
        if (failed) return;
        if (!writer.addFile(item.path.c_str(), item.data, item.ordinal, 0)) {
            failed = true;
            return;
        }
        to_utf8(item.path.c_str(), -1, utf8);
        auto number = static_cast<uint32_t>(offsets_.size());
        offsets_.push_back(written);
        index_.push_back({path_hash(utf8), number});
        written += record_size(item.path);
        element.clear();
        if (number) element += ',';
        listBytes_ += append_element(element, item.data, utf8) + 1;
        bodyItems_ += element.size();
        auto size = static_cast<std::streamsize>(element.size());
        if (body->sputn(element.data(), size) != size) failed = true;
    });
    bool walked = generator(volumes, filter) && !failed && body->pubsync() == 0;
    {
        last_error_restorer keep;
        body.reset();  // closes the file
    }
    if (!walked || !writer.close()) {
        DWORD code = GetLastError();
        offsets_.clear();
        index_.clear();
        SetLastError(code ? code : ERROR_GEN_FAILURE);
        return false;
    }
    walkErrors_ = generator.walkErrors();
    std::sort(index_.begin(), index_.end(), [](const Entry& a, const Entry& b) {
        return a.hash < b.hash || (a.hash == b.hash && a.item < b.item);
    });
    index_.shrink_to_fit();
    offsets_.shrink_to_fit();
    picked_.assign(offsets_.size(), false);
    return true;
}

Body_Source CandidateList::requestBody(const std::string& jobId) {
    std::string head = body_head(jobId);
    Body_Source body;
    body.length = head.size() + bodyItems_ + sizeof kBodyTail - 1;
    struct Progress {
        bool headSent = false;
        bool done = false;
    };
    auto progress = std::make_shared<Progress>();
    body.rewind = [this, progress] {
        *progress = Progress();
        sender_.reset(CreateFileW(bodyFile_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return sender_.valid();
    };
    body.next = [this, progress, head](std::string& piece) {
        piece.clear();
        if (progress->done) return true;
        if (!progress->headSent) piece = head;
        progress->headSent = true;
        size_t at = piece.size();
        piece.resize(at + kPieceBytes);
        DWORD read = 0;
        if (!sender_.valid() ||
            !ReadFile(sender_.get(), &piece[at], static_cast<DWORD>(kPieceBytes), &read, nullptr)) {
            if (!sender_.valid()) SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        piece.resize(at + read);
        if (read == 0) {
            piece += kBodyTail;
            progress->done = true;
            sender_.close();
        }
        return true;
    };
    return body;
}

bool CandidateList::read(JobActivitySourceReader& reader, uint32_t item,
                         JobActivitySourceItem& out) {
    if (item >= offsets_.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!reader.seek(static_cast<int64_t>(offsets_[item]))) return false;
    uint32_t tag = reader.next();
    if ((tag != kSourceTagFile && tag != kSourceTagDirectory) || !reader.item(out)) {
        DWORD code = GetLastError();
        log_message(LM_ERROR, "Failed to read item %u of the candidate list '%s'.\n", item,
                    to_utf8(file_).c_str());
        SetLastError(tag == 0 && code != ERROR_HANDLE_EOF ? code : ERROR_INVALID_DATA);
        return false;
    }
    return true;
}

void CandidateList::pick(uint32_t item) {
    if (picked_[item]) return;  // a path named twice is one item
    picked_[item] = true;
    chosen_.push_back(item);
}

void CandidateList::choose(const std::string& path) {
    uint64_t hash = path_hash(path);
    auto first = std::lower_bound(index_.begin(), index_.end(), hash,
                                  [](const Entry& e, uint64_t h) { return e.hash < h; });
    auto last = first;
    while (last != index_.end() && last->hash == hash) ++last;
    if (first == last) return;
    if (last - first == 1) {
        // The path of no other item has this hash: a path that is none of
        // the items and has it too could only choose this item, one that the
        // walk found.
        pick(first->item);
        return;
    }
    // Items whose paths share the hash: the exact path decides.
    if (!lookup_.isOpen() && !lookup_.open(file_.c_str(), 0)) return;
    JobActivitySourceItem item;
    for (auto at = first; at != last; ++at)
        if (read(lookup_, at->item, item) && to_utf8(item.path) == path) pick(at->item);
}

bool CandidateList::save(const std::wstring& path) {
    files_ = directories_ = 0;
    bytes_ = 0;
    JobActivitySourceReader reader;
    if (!chosen_.empty() && !reader.open(file_.c_str(), 0)) return false;
    return save_source_list(path, [&](JobHistorySourceWriter& writer) {
        JobActivitySourceItem item;
        for (uint32_t chosen : chosen_) {
            if (!read(reader, chosen, item)) return false;
            bool folder = (item.data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            uint32_t ordinal = folder ? ++directories_ : ++files_;
            if (!folder)
                bytes_ +=
                    static_cast<uint64_t>(item.data.nFileSizeHigh) << 32 | item.data.nFileSizeLow;
            if (!writer.addFile(item.path.c_str(), item.data, ordinal, 0)) return false;
        }
        return true;
    });
}
