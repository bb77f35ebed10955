#include "job/sources/source_lookahead.h"

SourceLookahead::SourceLookahead(JobActivitySourceReader& reader, size_t depth, Announce announce)
    : reader_(reader), depth_(depth + 1), announce_(std::move(announce)) {}

SourceLookahead::Entry SourceLookahead::next() {
    while (!ended_ && entries_.size() < depth_) readOne();
    if (entries_.empty()) {
        Entry end;
        end.code = ERROR_HANDLE_EOF;
        return end;
    }
    Entry entry = std::move(entries_.front());
    entries_.pop_front();
    return entry;
}

void SourceLookahead::readOne() {
    Entry entry;
    entry.offset = reader_.offset();
    entry.tag = reader_.next();
    if (entry.tag == 0) {
        entry.code = GetLastError();
        ended_ = true;
    } else if ((entry.tag == kSourceTagDirectory || entry.tag == kSourceTagFile) &&
               !reader_.item(entry.item)) {
        return;
    }
    entry.after = reader_.offset();
    if (announce_) announce_(entry);
    entries_.push_back(std::move(entry));
}
