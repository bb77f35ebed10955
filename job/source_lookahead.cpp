#include "job/source_lookahead.h"

#include "job/file_helpers.h"

SourceLookahead::SourceLookahead(JobActivitySourceReader& reader, const JobVolumeMap& volumes,
                                 JobVolume* volume, BackupStorage& storage)
    : reader_(reader),
      volumes_(volumes),
      volume_(volume),
      storage_(storage),
      depth_(storage.lookahead() + 1) {}

SourceLookahead::Entry& SourceLookahead::front() {
    while (!ended_ && entries_.size() < depth_) readOne();
    if (entries_.empty()) {
        Entry end;
        end.code = ERROR_HANDLE_EOF;
        entries_.push_back(std::move(end));
    }
    return entries_.front();
}

void SourceLookahead::readOne() {
    Entry entry;
    entry.offset = reader_.offset();
    entry.tag = reader_.next();
    if (entry.tag == 0) {
        entry.code = GetLastError();
        ended_ = true;
    } else if (entry.tag == kSourceTagVolume) {
        std::wstring path;
        if (reader_.volume(path)) {
            auto found = volumes_.find(path);
            if (found != volumes_.end() && found->second) volume_ = entry.volume = found->second;
        }
    } else if (entry.tag == kSourceTagDirectory || entry.tag == kSourceTagFile) {
        // A record that does not parse is passed over.
        if (!reader_.item(entry.item)) return;
        if (entry.tag == kSourceTagFile && volume_)
            entry.readPath = snapshotPath(entry.item.path, volume_->path, volume_->shadowPath);
        if (depth_ > 1 && entry.tag == kSourceTagFile)
            storage_.prepare(entry.item.path.c_str(), &entry.item.data, entry.item.ordinal,
                             entry.readPath.empty() ? nullptr : entry.readPath.c_str());
    }
    entries_.push_back(std::move(entry));
}
