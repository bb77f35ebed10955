// One-pass file transformations: the backup one compresses (when asked) and
// encrypts a source file into a work file; the restore one decrypts and
// decompresses (when asked) a stored file into its target and gives the
// target its attributes and times. Both run on the job's worker thread and
// stop between reads when their interrupter says so (last error 1223).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/file_stream.h"
#include "common/holders.h"
#include "platform/win32.h"

// What a backup transformation read of its source file: the bytes that its
// target holds the stored form of, and the file's last-write time when that
// read began.
struct SourceRead {
    bool known = false;  // set by a successful backup transform
    uint64_t size = 0;
    FILETIME lastWriteTime{};
    // The file changed while it was read, and again while it was read a
    // second time: the target holds the second read, which may mix the file's
    // states.
    bool changed = false;
};

class Transformation {
public:
    virtual ~Transformation() = default;
    // True when the target holds the whole transformed source; false with the
    // reason in the last error (1223 when stop interrupted it).
    virtual bool transform(const wchar_t* source, const wchar_t* target,
                           const WIN32_FILE_ATTRIBUTE_DATA* attributes, interrupter* stop) = 0;

    bool compression() const { return compression_; }
    // Of the last successful backup transform; not known otherwise.
    const SourceRead& sourceRead() const { return read_; }

    // With keep set, a successful backup transform leaves its target open
    // (for writing: it may be flushed through it) and takeTarget() hands
    // that handle to the caller, who closes it; otherwise, and after
    // another transform, takeTarget() gives null.
    void keepTarget(bool keep) { keepTarget_ = keep; }
    HANDLE takeTarget() { return kept_.release(); }

protected:
    explicit Transformation(bool compression);

    bool compression_;
    uint8_t key_[16];
    uint8_t iv_[16];
    SourceRead read_;
    bool keepTarget_ = false;
    scoped_handle kept_;
};

class BackupTransformation : public Transformation {
public:
    explicit BackupTransformation(bool compress);
    ~BackupTransformation() override;
    // Writes the stored form of source to target (created or truncated);
    // attributes is not used. A failure after target was opened removes it.
    //
    // A file that is written to while it is read would be stored torn. So
    // the size and last-write time of the open source are compared before
    // and after the read (and with the bytes read); when they differ, the
    // file is read once more. When it changes during that read too, what
    // that read got is stored and sourceRead() says changed. sourceRead()
    // gives the size stored, which the caller describes the file with.
    //
    // A regular file of up to kInMemoryBytes is read whole (one read, no
    // stop question: a stream asks it only after 2 MiB) and transformed in
    // memory by a compressor and a cipher that serve every file of this
    // transformation, started over for each: its stored form is byte for
    // byte the one the streamed path makes, which larger files take.
    bool transform(const wchar_t* source, const wchar_t* target,
                   const WIN32_FILE_ATTRIBUTE_DATA* attributes, interrupter* stop) override;

    static constexpr uint64_t kInMemoryBytes = 1024 * 1024;

private:
    class Packer;
    struct Pass;
    // One read of source into target: the file's state before and after it
    // and the bytes read. False with the failure's code and text.
    bool pass(const wchar_t* source, const wchar_t* target, interrupter* stop,
              BY_HANDLE_FILE_INFORMATION& before, BY_HANDLE_FILE_INFORMATION& after,
              uint64_t& read);
    // The two ways of one pass from the open source into the target, which
    // they create (into made); read: the bytes read.
    Pass packInMemory(HANDLE source, uint64_t size, interrupter* stop, const wchar_t* target,
                      scoped_handle& made, uint64_t& read);
    Pass stream(HANDLE source, interrupter* stop, const wchar_t* target, scoped_handle& made,
                uint64_t& read);

    std::unique_ptr<Packer> packer_;  // made at the first small file
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
