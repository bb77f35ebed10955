// Where a restored item goes, and what happens to a file that already exists
// there: each restore storage makes one policy per run from the restore
// definition and asks it for every item. Not thread-safe; a policy belongs to
// its storage and is used on the job's worker thread.
#pragma once

#include <memory>
#include <string>

class JobDefinition;

class RestoreLocationPolicy {
public:
    virtual ~RestoreLocationPolicy() = default;

    // target <- the place of the item backed up at source. False when the
    // item is not to be written: last error 0 when it is skipped (the skip
    // mode found a file at the target), ERROR_BAD_PATHNAME when the source
    // has no place below the target folder (its part below the base, read
    // with both separators and its "." and ".." parts, climbs above the
    // target folder or names a drive; a source outside the base) and
    // ERROR_INVALID_PARAMETER for an empty source. A folder is never skipped
    // or renamed. With the rename mode an existing file X gives X.0, then
    // X.0.1, X.0.1.2 and so on, the first such name where no file exists
    // (a link counts as a file there).
    bool targetPath(const wchar_t* source, bool isFolder, std::wstring& target);

    // The folder that every target lies below, without a trailing separator
    // (the chosen folder); empty when the targets are the items' own paths.
    // A restore follows no link below it (job/storage/restore_place.h).
    const std::wstring& confinement() const { return confinement_; }

protected:
    explicit RestoreLocationPolicy(int overwrite) : overwrite_(overwrite) {}
    // The place of source before the existing-file rule; false with the last
    // error set when it has none.
    virtual bool place(const std::wstring& source, std::wstring& target) = 0;

    std::wstring confinement_;

private:
    int overwrite_;  // 1 skip, 3 rename, anything else overwrite
};

// Every item goes back to the path it was backed up from.
class RestoreOriginalLocationPolicy : public RestoreLocationPolicy {
public:
    explicit RestoreOriginalLocationPolicy(int overwrite) : RestoreLocationPolicy(overwrite) {}

protected:
    bool place(const std::wstring& source, std::wstring& target) override;
};

// Every item goes below another folder: the part of its path below the base
// (the common folder of the restored paths) is appended to the folder, or,
// without a base, the whole path with the drive's colon dropped
// ("C:\a\b.txt" below "D:\r" gives "D:\r\C\a\b.txt"). That part is
// normalised first and never leads out of the folder: "sub/../x" is "x",
// "sub/../../x" has no place.
class RestoreOtherLocationPolicy : public RestoreLocationPolicy {
public:
    // folder: "/" is read as "\".
    RestoreOtherLocationPolicy(int overwrite, const std::wstring& folder, const std::wstring& base);

protected:
    bool place(const std::wstring& source, std::wstring& target) override;

private:
    std::wstring folder_;
    std::wstring base_;
};

// The policy of a restore definition: null for a definition of another type,
// the other-location policy when the definition names a location, else the
// original-location one.
std::unique_ptr<RestoreLocationPolicy> createRestoreLocationPolicy(const JobDefinition* definition);
