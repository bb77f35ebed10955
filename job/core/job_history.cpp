#include "job/core/job_history.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <utility>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "common/text_units.h"
#include "common/win32_error.h"
#include "wirekit/error_codes.h"
#include "wirekit/http_tables.h"

namespace {

std::string wide_to_utf8(const wchar_t* text) { return to_utf8(text, -1); }

// The whole file into out; false (out empty) when it cannot be read.
bool read_whole(const std::wstring& path, std::string& out) {
    out.clear();
    scoped_handle file(CreateFileW(path.c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
            out.clear();
            return false;
        }
        if (read == 0) return true;
        out.append(buffer, read);
    }
}

// Adds to an integer member, or sets it to amount when it is missing or of
// another type. Counts wrap as unsigned 64-bit numbers do.
void add_count(json_spirit::Object& object, const std::string& key, uint64_t amount) {
    auto it = object.find(key);
    if (it == object.end() || it->second.type() != json_spirit::int_type) {
        object[key] = json_spirit::Value(static_cast<unsigned long long>(amount));
        return;
    }
    const json_spirit::Value& old = it->second;
    uint64_t before = old.is_uint64() ? old.get_uint64() : static_cast<uint64_t>(old.get_int64());
    it->second = json_spirit::Value(static_cast<unsigned long long>(before + amount));
}

}  // namespace

std::string job_history_time_text(FILETIME time) {
    SYSTEMTIME parts = {};
    if (!FileTimeToSystemTime(&time, &parts)) parts = SYSTEMTIME{};
    char text[64];
    std::snprintf(text, sizeof text, "%d-%d-%d %.2d:%.2d:%.2d", parts.wYear, parts.wMonth,
                  parts.wDay, parts.wHour, parts.wMinute, parts.wSecond);
    return text;
}

JobHistoryError::~JobHistoryError() {
    try {
        if (bound() && !container.empty()) save();
    } catch (...) {
    }
}

std::wstring JobHistoryError::journalPath() const { return from_utf8(path) + L".journal"; }

bool JobHistoryError::load(const char* newPath) {
    journal_.close();
    listed_.clear();
    indexed_ = 0;
    if (newPath) path = newPath;
    if (path.empty()) return false;
    bool found = JSONArrayStorage::load(nullptr);
    std::string text;
    read_whole(journalPath(), text);
    journalTorn_ = !text.empty() && text.back() != '\n';
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;  // torn by a kill: passed over
        std::string line = text.substr(at, end - at);
        at = end + 1;
        json_spirit::Value value;
        if (!json_spirit::read(line, value) || value.type() != json_spirit::array_type) continue;
        const json_spirit::Array& pair = value.get_array();
        if (pair.size() != 2 || pair[0].type() != json_spirit::int_type ||
            pair[1].type() != json_spirit::obj_type)
            continue;
        // A place the list holds already was written by a save that was cut
        // off before it removed the journal.
        if (pair[0].get_int64() >= 0 &&
            static_cast<uint64_t>(pair[0].get_int64()) < container.size())
            continue;
        container.push_back(pair[1]);
        found = true;
    }
    return found;
}

bool JobHistoryError::journalLast() {
    if (path.empty() || container.empty()) return true;
    last_error_restorer keep;
    std::string line;
    try {
        json_spirit::Array pair;
        pair.emplace_back(static_cast<unsigned long long>(container.size() - 1));
        pair.push_back(container.back());
        line = json_spirit::write(json_spirit::Value(pair)) + "\n";
    } catch (const std::exception&) {
        return false;
    }
    if (!journal_.valid()) {
        journal_.reset(CreateFileW(journalPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!journal_.valid()) {
            journal_.reset();
            log_message(LM_ERROR, "Failed to open the journal of %s, %m.\n", path.c_str());
            return false;
        }
    }
    // A line torn by a kill or a failed write is ended, so that it stays one
    // unreadable line.
    if (journalTorn_) line.insert(0, "\n");
    journalTorn_ = false;
    DWORD written = 0;
    if (!WriteFile(journal_.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                   nullptr) ||
        written != line.size()) {
        journalTorn_ = written > 0;  // the next line must not continue this one
        log_message(LM_ERROR, "Failed to write the journal of %s, %m.\n", path.c_str());
        return false;
    }
    return true;
}

bool JobHistoryError::save() {
    if (!JSONArrayStorage::save()) return false;
    journal_.close();
    last_error_restorer keep;
    DeleteFileW(journalPath().c_str());
    return true;
}

void JobHistoryError::unbind() {
    journal_.close();
    JSONArrayStorage::unbind();
}

namespace {

// The key of an error entry for JobHistoryError's index; empty for an entry
// that is no error object.
std::string listed_key(const json_spirit::Value& entry) {
    if (entry.type() != json_spirit::obj_type) return std::string();
    const json_spirit::Object& object = entry.get_obj();
    auto code = object.find("code");
    auto path = object.find("path");
    if (code == object.end() || path == object.end() ||
        code->second.type() != json_spirit::int_type ||
        path->second.type() != json_spirit::str_type)
        return std::string();
    return std::to_string(code->second.get_int64()) + " " + path->second.get_str();
}

}  // namespace

bool JobHistoryError::add(const wchar_t* itemPath, DWORD code, const wchar_t* reason) {
    if (!itemPath || !*itemPath) return false;
    if (container.size() < indexed_) {  // the list was replaced
        listed_.clear();
        indexed_ = 0;
    }
    for (; indexed_ < container.size(); ++indexed_) listed_.insert(listed_key(container[indexed_]));
    // Names that are no valid text keep their undecodable units, so that each is listed.
    std::string path = to_utf8_keeping_units(itemPath);
    if (!listed_.insert(std::to_string(code) + " " + path).second) return false;
    ++indexed_;
    std::string reasonText;
    if (reason) {
        reasonText = wide_to_utf8(reason);
    } else if (is_http_error_code(code)) {
        int status = http_status_of(code);
        reasonText = http_status_string(status == 600 ? 500 : status);
    } else {
        win32_error_wtext text(code);
        reasonText = wide_to_utf8(text.text());
    }
    json_spirit::Object entry;
    entry["code"] = json_spirit::Value(static_cast<unsigned>(code));
    entry["path"] = json_spirit::Value(std::move(path));
    entry["reason"] = json_spirit::Value(std::move(reasonText));
    container.emplace_back(std::move(entry));
    return true;
}

size_t JobHistoryError::failures() const {
    size_t count = 0;
    for (const json_spirit::Value& entry : container) {
        if (entry.type() != json_spirit::obj_type) continue;
        const json_spirit::Object& object = entry.get_obj();
        auto code = object.find("code");
        if (code == object.end() || code->second.type() != json_spirit::int_type ||
            code->second.get_int64() != 0)
            ++count;
    }
    return count;
}

namespace {

// The compact JSON text of a string, as json_spirit::write gives it.
void append_json_string(std::string& out, std::string text) {
    out += json_spirit::write(json_spirit::Value(std::move(text)));
}

void append_number(std::string& out, uint64_t number) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    out.append(digits, end);
}

void append_indent(std::string& out, size_t depth) {
    out += '\n';
    out.append(depth * 4, ' ');
}

}  // namespace

std::string job_history_formatted(const std::string& compact) {
    std::string out;
    out.reserve(compact.size() + compact.size() / 2);
    size_t depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < compact.size(); ++i) {
        char c = compact[i];
        if (quoted) {
            out += c;
            if (c == '\\' && i + 1 < compact.size())
                out += compact[++i];
            else if (c == '"')
                quoted = false;
            continue;
        }
        switch (c) {
            case '"':
                quoted = true;
                out += c;
                break;
            case '{':
            case '[':
                out += c;
                if (i + 1 < compact.size() && compact[i + 1] == (c == '{' ? '}' : ']')) {
                    out += compact[++i];  // an empty one stays on its line
                    break;
                }
                append_indent(out, ++depth);
                break;
            case '}':
            case ']':
                append_indent(out, depth > 0 ? --depth : 0);
                out += c;
                break;
            case ',':
                out += c;
                append_indent(out, depth);
                break;
            case ':':
                out += ": ";
                break;
            default:
                out += c;
        }
    }
    return out;
}

JobHistoryInfo::~JobHistoryInfo() {
    try {
        if (!path.empty()) save();
    } catch (...) {
    }
}

bool JobHistoryInfo::sourceIsArray() const {
    auto source = container.find("source");
    return source != container.end() && source->second.type() == json_spirit::array_type;
}

bool JobHistoryInfo::load(const char* newPath) {
    if (!JSONStorage::load(newPath)) return false;
    sources_.clear();
    sourceCount_ = 0;
    auto source = container.find("source");
    if (source == container.end() || source->second.type() != json_spirit::array_type) return true;
    json_spirit::Array& entries = source->second.get_array();
    for (const json_spirit::Value& entry : entries) appendSource(json_spirit::write(entry));
    entries.clear();
    entries.shrink_to_fit();
    return true;
}

void JobHistoryInfo::appendSource(const std::string& entry) {
    size_t length = entry.size() + (sourceCount_ ? 1 : 0);
    if (sources_.empty() || sources_.back().size() + length > kSourcePiece) {
        sources_.emplace_back();
        sources_.back().reserve(std::max(kSourcePiece, length));
    }
    if (sourceCount_++) sources_.back() += ',';
    sources_.back() += entry;
}

void JobHistoryInfo::textFrame(std::string& head, std::string& tail) const {
    head = "{";
    tail.clear();
    std::string* out = &head;
    bool first = true;
    for (const auto& [key, member] : container) {
        if (!first) *out += ',';
        first = false;
        append_json_string(*out, key);
        *out += ':';
        if (key == "source" && member.type() == json_spirit::array_type) {
            *out += '[';
            out = &tail;  // the entries go between
            *out += ']';
        } else {
            *out += json_spirit::write(member);
        }
    }
    *out += '}';
}

std::string JobHistoryInfo::text() const {
    std::string head, tail;
    textFrame(head, tail);
    size_t length = head.size() + tail.size();
    for (const std::string& piece : sources_) length += piece.size();
    std::string out;
    out.reserve(length);
    out += head;
    for (const std::string& piece : sources_) out += piece;
    out += tail;
    return out;
}

json_spirit::Object JobHistoryInfo::value() const {
    json_spirit::Object out = container;
    if (sourceIsArray()) {
        std::string entries = "[";
        for (const std::string& piece : sources_) entries += piece;
        entries += ']';
        json_spirit::Value read;
        json_spirit::read(entries, read);
        out["source"] = std::move(read);
    }
    return out;
}

std::string JobHistoryInfo::formattedText() const { return job_history_formatted(text()); }

bool JobHistoryInfo::setInstanceId(const char* id) {
    if (!id || !*id) return false;
    container["instanceId"] = json_spirit::Value(id);
    return true;
}

bool JobHistoryInfo::setType(const std::string& type) {
    container["type"] = json_spirit::Value(type);
    return true;
}

bool JobHistoryInfo::setState(std::string state) {
    container["state"] = json_spirit::Value(std::move(state));
    return true;
}

bool JobHistoryInfo::setStartTime(FILETIME time) {
    container["starttime"] = json_spirit::Value(job_history_time_text(time));
    return true;
}

bool JobHistoryInfo::setEndTime(FILETIME time) {
    container["endtime"] = json_spirit::Value(job_history_time_text(time));
    return true;
}

bool JobHistoryInfo::setTotalSize(uint64_t bytes) {
    container["totalsize"] = json_spirit::Value(static_cast<unsigned long long>(bytes));
    return true;
}

bool JobHistoryInfo::setFilesCount(uint64_t count) {
    container["filescount"] = json_spirit::Value(static_cast<unsigned long long>(count));
    return true;
}

bool JobHistoryInfo::setSpeed(int speed) {
    container["speed"] = json_spirit::Value(speed);
    return true;
}

bool JobHistoryInfo::addSourceFile(const wchar_t* itemPath, FILETIME creationTime,
                                   FILETIME lastWriteTime, uint64_t size) {
    auto source = container.find("source");
    if (source == container.end())
        source = container.emplace("source", json_spirit::Value(json_spirit::Array())).first;
    if (source->second.type() == json_spirit::array_type) {
        // The members in their order as keys: creationtime, modifiedtime, path, size.
        entry_ = "{\"creationtime\":\"";
        entry_ += job_history_time_text(creationTime);
        entry_ += "\",\"modifiedtime\":\"";
        entry_ += job_history_time_text(lastWriteTime);
        entry_ += "\",\"path\":";
        append_json_string(entry_, itemPath ? wide_to_utf8(itemPath) : std::string());
        entry_ += ",\"size\":";
        append_number(entry_, size);
        entry_ += '}';
        appendSource(entry_);
    }
    add_count(container, "files_restored", 1);
    add_count(container, "restored_size", size);
    return true;
}

void JobHistoryInfo::reset() {
    for (const char* key : {"instanceId", "starttime", "endtime", "state"})
        container[key] = json_spirit::Value("");
    for (const char* key :
         {"usedtime", "totalsize", "filescount", "speed", "files_restored", "restored_size"})
        container[key] = json_spirit::Value(0);
    if (sourceIsArray()) {
        std::vector<std::string>().swap(sources_);  // a long run's entries are given back
        sourceCount_ = 0;
    }
}
