// The restore storage of a restore job whose definition names an offline
// location: the path of one backup run's catalogue, "<offline>\<instance>.cat"
// (the layout of job/local_backup_storage.h). The run's data files lie in the
// folder of the same name without ".cat". The catalogue is read whole at
// start(); each item the job asks for is then written to the place that the
// restore location policy of the definition gives it: a folder is made, a
// file is decrypted (and decompressed when its catalogue record says it was
// stored compressed) from its data file, and both get the attributes and
// times that the catalogue stored for them. Missing parent folders are made
// too, those that stand for a catalogued folder with that folder's
// attributes and times. Below a chosen folder no link is followed: a link at
// a target or on its way fails the item (job/restore_place.h).
//
// The storage belongs to one run and is called from the job's worker thread
// only (end and the destructor may run on the thread that stops a paused
// job); it takes no lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>

#include "job/restore_location_policy.h"
#include "job/restore_place.h"
#include "job/storage.h"
#include "job/transformation.h"
#include "job/web_client_event_handler.h"
#include "plandeck/restore_job_definition.h"

// The items of one catalogue by path. Paths are compared code unit by code
// unit (letter case counts) and without trailing separators, since the
// restore list marks a folder with a trailing back-slash and the catalogue
// does not. Of a path listed twice the later record counts.
class LocalRestoreCatalogue {
public:
    struct Entry {
        uint32_t itemIndex = 0;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        bool compressed = false;  // the record's flag is 1

        bool folder() const { return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
        uint64_t size() const {
            return static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
        }
    };

    // Replaces the content with the "FILE" and "DIRB" records of the file.
    // False with the reader's error when the file cannot be opened. A damaged
    // record ends the reading (logged): the records before it are kept.
    bool load(const std::wstring& path);
    // Null when the path is not listed.
    const Entry* find(const std::wstring& path) const;
    void clear() { items_.clear(); }

    // path without its trailing back-slashes and slashes (a path of
    // separators only is kept as it is).
    static std::wstring key(const std::wstring& path);

private:
    std::map<std::wstring, Entry> items_;
};

class LocalRestoreStorage : public RestoreStorage {
public:
    // Neither is owned; handler may be null and is not used. The location
    // policy is made now (none for a definition that is not a restore one:
    // every item then goes back to its own path).
    LocalRestoreStorage(const RestoreJobDefinition* definition, WebClientEventHandler* handler);
    // Saves the error list into the run's history folder, unless that folder
    // has been removed (the job removes it when the run ends): it is never
    // made again for the list.
    ~LocalRestoreStorage() override;
    LocalRestoreStorage(const LocalRestoreStorage&) = delete;
    LocalRestoreStorage& operator=(const LocalRestoreStorage&) = delete;

    // Binds the record (not owned; history is not used) and the run's
    // durable group (RestoreGroup, whose mark of the items in flight is in
    // the job's tmp folder), names the temporary files with the run's token,
    // reads the catalogue, sets the record's total files and total bytes to
    // the files of the definition's source list found in it, removes the
    // temporary files that a run taken up again may have left
    // (RestoreStorage::removeLostTemporaries), and loads the error list of the
    // run's history folder ("err", made afresh when missing). False with 87
    // for a null record, a missing definition or an empty location,
    // ERROR_BAD_PATHNAME (161) for a location that does not end in ".cat",
    // and the reader's error when the catalogue cannot be opened. On success
    // the caller's last error is kept.
    bool start(JobActivity* record, JobHistoryInfo* history) override;
    // Ends the durable group and writes the error list to the history
    // folder (while it exists); always true. errorCount() counts that list: the items the job
    // recorded as failed with addError.
    bool end(bool cancelled) override;
    // Writes the catalogue's item for path to its target; machine and
    // isFolder are not used (the catalogue's record decides), itemIndex names
    // the item's mark (see RestoreGroup): an item of a resumed run that the
    // mark shows in place already is done. False with
    //   3   path not in the catalogue;
    //   0   the policy skips the item (skip mode, a file at the target);
    //   the policy's own code when it finds no place for the item (161 for
    //       a path that would lead out of the chosen folder);
    //   681 when a link stands at the target or, below the chosen folder, on
    //       its way (job/restore_place.h): nothing is written through it;
    //   the folder's error when the folder or a parent cannot be made (80 for
    //       a file in the way): no data file is read then;
    //   the transformation's error (2 for a missing data file, 13 for damaged
    //       data): an existing target is left as it was.
    // A restored file counts in the record's files done and, by its stored
    // size, bytes done; the current-file counters are 0 afterwards. On a
    // volume forced as a whole the file takes its target's place, and
    // counts, only at the durable group's end; when it fails to, the item is
    // added to the error list then.
    bool restore(const wchar_t* path, const std::wstring& machine, bool isFolder,
                 uint32_t itemIndex) override;

private:
    using Entry = LocalRestoreCatalogue::Entry;

    // Whether the run's history folder, where the error list is kept, exists.
    bool historyKept() const;
    // The chosen folder below which no link is followed; empty for a restore
    // to the items' own places.
    std::wstring confinement() const;
    // The link check below confinement(), logged when it fails; found gets
    // the target's attributes (INVALID_FILE_ATTRIBUTES: nothing there).
    bool placeFreeOfLinks(const std::wstring& target, DWORD& found);
    bool restoreFile(const std::wstring& key, const Entry& entry, const std::wstring& target,
                     uint32_t itemIndex, DWORD found);
    // Makes target and its missing parents; source is the catalogued path
    // that target stands for (empty: none). A made folder that stands for a
    // catalogued folder gets its attributes and is remembered for its times.
    // An existing folder is left as it is. False with the error of the folder
    // that could not be made.
    bool makeFolderPath(const std::wstring& source, const std::wstring& target);
    // Something was made or written in folder: when this storage made it,
    // it gets its stored times again at the group's end (writing into a
    // folder moves its last-write time).
    void touched(const std::wstring& folder);
    // The end of a durable group, before its flush: the touched folders get
    // their times, and the folders on the way are looked at afresh.
    void endGroup();

    const RestoreJobDefinition* definition_;
    WebClientEventHandler* handler_;
    JobActivity* record_;
    std::wstring dataFolder_;  // the catalogue's path without ".cat"
    std::wstring work_;        // the job's tmp folder
    std::string errorPath_;    // of the error list, UTF-8; empty when it has none
    RestoreTransformation plain_;
    RestoreTransformation unpacking_;
    LocalRestoreCatalogue catalogue_;
    std::unique_ptr<RestoreLocationPolicy> policy_;
    // Target folders made by this storage for catalogued folders, with the
    // times they are to keep; those touched in the group under way.
    std::map<std::wstring, WIN32_FILE_ATTRIBUTE_DATA> madeFolders_;
    std::set<std::wstring> dirtyFolders_;
    // Folders found (or made) in the group under way.
    std::unordered_set<std::wstring> knownFolders_;
    LinkCheck links_;
};
