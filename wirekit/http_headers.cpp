#include "wirekit/http_headers.h"

#include <cstring>

namespace {

// Extra headers are keyed by their lower-case name.
ACE_CString extra_key(const char* name) {
    ACE_CString key(name);
    for (size_t i = 0; i < key.length(); ++i) {
        char& c = key[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

}  // namespace

std::unique_ptr<char[]> http_copy_text(const char* text) {
    if (!text) return nullptr;
    size_t size = std::strlen(text) + 1;
    std::unique_ptr<char[]> copy(new char[size]);
    std::memcpy(copy.get(), text, size);
    return copy;
}

HTTP_Headers::~HTTP_Headers() {
    if (extra_) extra_->close();
}

const char* HTTP_Headers::get(const char* name) const {
    if (!name) return nullptr;
    int index = http_head_type(name);
    if (const char* text = get(index)) return text;
    ACE_Hash_Map_Entry<ACE_CString, ACE_CString>* entry = nullptr;
    if (!extra_ || extra_->find(extra_key(name), entry) != 0) return nullptr;
    return entry->int_id_.c_str();
}

int HTTP_Headers::put(const char* name, const char* value) {
    if (!name) return -1;
    int index = http_head_type(name);
    if (static_cast<unsigned>(index) < HTTP_HEAD_COUNT) return put(index, value);
    ACE_CString key = extra_key(name);
    ACE_Hash_Map_Entry<ACE_CString, ACE_CString>* entry = nullptr;
    bool existed = extra_ && extra_->find(key, entry) == 0;
    if (!value) {
        if (existed) extra_->unbind(entry);
        return existed ? 1 : 0;
    }
    if (existed) {
        entry->int_id_ = value;
        return 1;
    }
    if (!extra_) {
        auto table = std::make_unique<Extra_Map>();
        if (table->open(kExtraBuckets) != 0) return -1;
        extra_ = std::move(table);
    }
    return extra_->bind(key, ACE_CString(value)) == 0 ? 0 : -1;
}

void HTTP_Headers::reset() {
    for (auto& slot : slots_) slot.reset();
    if (extra_) extra_->close();
    extra_.reset();
}
