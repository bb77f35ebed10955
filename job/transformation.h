// One-pass file transformations: the backup one compresses (when asked) and
// encrypts a source file into a work file; the restore one decrypts and
// decompresses (when asked) a stored file into its target and gives the
// target its attributes and times. Both run on the job's worker thread and
// stop between reads when their interrupter says so (last error 1223).
#pragma once

#include <cstdint>
#include <string>

#include "common/file_stream.h"
#include "platform/win32.h"

class Transformation {
public:
    virtual ~Transformation() = default;
    // True when the target holds the whole transformed source; false with the
    // reason in the last error (1223 when stop interrupted it).
    virtual bool transform(const wchar_t* source, const wchar_t* target,
                           const WIN32_FILE_ATTRIBUTE_DATA* attributes, interrupter* stop) = 0;

    bool compression() const { return compression_; }

protected:
    explicit Transformation(bool compression);

    bool compression_;
    uint8_t key_[16];
    uint8_t iv_[16];
};

class BackupTransformation : public Transformation {
public:
    explicit BackupTransformation(bool compress) : Transformation(compress) {}
    // Writes the stored form of source to target (created or truncated);
    // attributes is not used. A failure after target was opened removes it.
    bool transform(const wchar_t* source, const wchar_t* target,
                   const WIN32_FILE_ATTRIBUTE_DATA* attributes, interrupter* stop) override;
};

// The name of the note of RestoreTransformation::temporaryNote in a job's
// work folder.
inline constexpr wchar_t kTemporaryNote[] = L"restoring";

class RestoreTransformation : public Transformation {
public:
    explicit RestoreTransformation(bool decompress) : Transformation(decompress) {}
    // Writes the data of the stored file source into a new temporary file
    // beside target ("<target>.~tovel<n>"), gives it attributes (when given:
    // the file attributes and the times) and then renames it over target. A
    // failure at any step removes the temporary file and leaves an existing
    // target as it was; damaged data or a wrong decompression flag fails with
    // 13. Before the temporary file is made and again before the rename, the
    // target and, below the confining folder (confine), every folder on its
    // way must not be a link (job/restore_place.h): else nothing is written
    // (or the temporary file is removed) and the result is false with
    // ERROR_STOPPED_ON_SYMLINK (681). An existing name is never written
    // through: the temporary file is made new.
    bool transform(const wchar_t* source, const wchar_t* target,
                   const WIN32_FILE_ATTRIBUTE_DATA* attributes, interrupter* stop) override;

    // A file of the job's own (in its work folder) that names the temporary
    // file of a transform while it may exist (from just before it is made
    // until it is renamed or removed); empty (the default): none is kept,
    // and no file that a transform did not make is ever removed.
    void temporaryNote(const std::wstring& note) { note_ = note; }
    // Removes the file that the note names and the note: what a transform
    // that never ended (its process died) left beside its target. Nothing
    // without a note. Not to be called while a transform is under way. Keeps
    // the last error.
    void removeNotedTemporary() const;
    // The folder below which no link is followed (see transform); empty (the
    // default): only a link at the target itself is refused.
    void confine(const std::wstring& root) { root_ = root; }

private:
    void noteTemporary(const std::wstring& temporary) const;
    void dropNote() const;
    // place_free_of_links for target, logged when it fails.
    bool targetFreeOfLinks(const wchar_t* target) const;

    std::wstring note_;
    std::wstring root_;
};
