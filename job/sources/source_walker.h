// The walk over a job's backup sources, with a visitor and an optional filter
// of names; the visitor that counts folders, files and bytes; the filter by
// file extensions and its factory. The web interface's plug-in calls these
// too. Paths are wide Windows paths with back-slashes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"

class BackupJobDefinition;
class FilterPolicy;
class SourceWalker;

// Reports every source, and everything below each source folder, to walker
// (depth first, in listing order), with the attributes that the listing
// read (no further call per entry). Sources that cannot be read, folders
// whose listing fails and entries listed whose attributes cannot be read go
// to the walker's processError (listings are also logged) and the walk goes
// on; so do entries that cannot be backed up: a
// name that is no valid text on the host (1113, not walked into) and a
// special file such as a FIFO or a device (50). Links (reparse points) are
// reported but never followed. With a filter, a file is reported
// only when the filter includes its name (a top-level source: its whole
// path); folders that are not links are always reported and walked. Nothing
// happens without a walker; a null filter lets everything pass.
void walkSource(const std::vector<std::wstring>& sources, FilterPolicy* filter,
                SourceWalker* walker);

class SourceWalker {
public:
    SourceWalker();
    SourceWalker(const SourceWalker& other);
    SourceWalker& operator=(const SourceWalker& other);
    virtual ~SourceWalker();

protected:
    // One entry of the walk: its full path and its attributes, times and size.
    virtual void processFile(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA& data) = 0;
    // A source that cannot be read, a folder whose listing failed, or an
    // entry that cannot be backed up, with the error; the walk goes on. The
    // base ignores it.
    virtual void processError(const wchar_t* path, DWORD code);

    friend void walkSource(const std::vector<std::wstring>&, FilterPolicy*, SourceWalker*);
};

class JobVolume;
using JobVolumeMap = std::map<std::wstring, JobVolume*>;

// Groups a definition's sources by volume into a run's volume map: one new
// JobVolume per volume (owned by the map's user, indexes from 1 in order of
// appearance) holding its sources in order. Sources whose volume cannot be
// named are logged, appended to failures (when given) with the error (3 for
// a drive that does not exist) and passed over. The map is emptied first
// (its volumes are not destroyed: the caller clears it before).
struct SourceClassifier {
    void operator()(const std::vector<std::wstring>& sources, JobVolumeMap& volumes,
                    std::vector<std::pair<std::wstring, DWORD>>* failures = nullptr) const;
};

// Counts what a walk reports: folders (links to folders included), other
// entries and their bytes.
class SourceCalculator : public SourceWalker {
public:
    SourceCalculator();
    SourceCalculator(const SourceCalculator& other);
    SourceCalculator& operator=(const SourceCalculator& other);
    ~SourceCalculator() override;

    uint32_t directoryCount() const { return directories_; }
    uint32_t fileCount() const { return files_; }
    uint64_t fileSize() const { return size_; }

protected:
    void processFile(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA& data) override;

private:
    uint32_t directories_;
    uint32_t files_;
    uint64_t size_;
};

class FilterPolicy {
public:
    virtual ~FilterPolicy();
    virtual bool isInclude(const wchar_t* name) = 0;
};

// Passes names by their extension: in include mode only the names that end
// in one of the extensions, in exclude mode all others. An extension is
// written "*.jpg", ".jpg" or "jpg" (its leading run of "*" and "." is
// dropped); it is compared literally and without regard to case with the end
// of the name, the dot not required ("xjpg" ends in "jpg"). Extensions made
// only of "*" and "." are skipped; with none left, everything passes in both
// modes. Copies share the list of extensions.
class ExtensitonsFilterPolicy : public FilterPolicy {
public:
    ExtensitonsFilterPolicy(bool include, const std::vector<std::wstring>& extensions);
    ExtensitonsFilterPolicy(const ExtensitonsFilterPolicy& other);
    ExtensitonsFilterPolicy& operator=(const ExtensitonsFilterPolicy& other);
    ~ExtensitonsFilterPolicy() override;

    bool isInclude(const wchar_t* name) override;

private:
    bool include_;
    // The case-folded extensions; shared between copies, never changed.
    std::shared_ptr<const std::vector<std::wstring>> suffixes_;
};

class FilterPolicyFactory {
public:
    // Type 1: include the extensions, type 2: exclude them, any other: null.
    // The caller owns the result.
    static FilterPolicy* create(int type, const std::vector<std::wstring>& extensions);
    // The filter of a backup job's definition (its include() and extensions()).
    static FilterPolicy* create(const BackupJobDefinition& definition);
};
