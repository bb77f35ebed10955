// The header table of one HTTP message: wirekit's 47 numbered slots, and a
// table of extra headers for names outside the numbering. Not copyable; one
// thread at a time.
#pragma once

#include <ace/Hash_Map_Manager_T.h>
#include <ace/Null_Mutex.h>
#include <ace/SString.h>

#include <cstddef>
#include <memory>

#include "wirekit/http_tables.h"

// An owned copy of a NUL-terminated text; null for a null text.
std::unique_ptr<char[]> http_copy_text(const char* text);

class HTTP_Headers {
public:
    // Empty; the extra table is opened (with 1024 buckets) by the first extra
    // header, so that a message without one (every message of the agent's
    // own requests and of the remote service's replies) makes no table.
    HTTP_Headers() = default;
    // Frees every slot and closes the extra table.
    ~HTTP_Headers();
    HTTP_Headers(const HTTP_Headers&) = delete;
    HTTP_Headers& operator=(const HTTP_Headers&) = delete;

    // The slot's text; null when it is empty or the index lies outside 0 to 46.
    const char* get(int index) const {
        return static_cast<unsigned>(index) < HTTP_HEAD_COUNT ? slots_[index].get() : nullptr;
    }
    // Stores a copy of text in the slot (null empties it), freeing the old
    // one: 0; -1 for an index outside 0 to 46.
    int put(int index, const char* text) {
        if (static_cast<unsigned>(index) >= HTTP_HEAD_COUNT) return -1;
        slots_[index] = http_copy_text(text);
        return 0;
    }

    // By name (without regard to case): the numbered slot of the name when it
    // is set, else the extra header of that name; null when neither exists.
    // An extra header's text stays valid until that header changes.
    const char* get(const char* name) const;
    // A name of the numbering goes to its slot (as put(index, value): 0).
    // Any other name is an extra header: an existing one takes the new value
    // (1), a new one is added (0, or -1 when the table refuses it); a null
    // value removes it. -1 for a null name. Extra headers are never sent.
    int put(const char* name, const char* value);

    // The number of extra headers.
    size_t extra_count() const { return extra_ ? extra_->current_size() : 0; }

    // Frees every slot and empties the extra table.
    void reset();

private:
    using Extra_Map = ACE_Hash_Map_Manager_Ex<ACE_CString, ACE_CString, ACE_Hash<ACE_CString>,
                                              ACE_Equal_To<ACE_CString>, ACE_Null_Mutex>;
    static constexpr size_t kExtraBuckets = 1024;

    std::unique_ptr<char[]> slots_[HTTP_HEAD_COUNT];
    std::unique_ptr<Extra_Map> extra_;  // null until the first extra header
};
