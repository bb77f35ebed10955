// One-pass file transformations: the backup one compresses (when asked) and
// encrypts a source file into a work file; the restore one decrypts and
// decompresses (when asked) a stored file into its target and gives the
// target its attributes and times. Both run on the job's worker thread and
// stop between reads when their interrupter says so (last error 1223).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/file_stream.h"
#include "common/holders.h"
#include "job/storage/ahead_pool.h"
#include "job/storage/restore_place.h"
#include "job/storage/stored_decoder.h"
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

    // With a pool (not owned; it outlives the transform calls, and none of
    // its tasks waits for this transformation), a larger file that is
    // compressed has its deflate made in pieces on the pool's threads (see
    // PieceDeflate): the same data come back from the stored form, through
    // any inflater, as from the stream made at once. The read, the
    // encryption and the writes stay on the calling thread, in order.
    // Null (the default): one stream on the calling thread.
    void compressOn(AheadPool* pool) { pool_ = pool; }
    // With quiet set, a transform that its interrupter stops is not logged
    // (for work done ahead that is dropped); the default logs it.
    void quietStop(bool quiet) { quietStop_ = quiet; }
    // With hold set, a transform that read its source whole (see above)
    // makes no target: the stored form stays in memory, given by held(),
    // until the next transform (or the next call of any other member that
    // transforms). held() is null after a transform that wrote its target
    // (a larger file, or one that grew while it was read) and after a
    // failure. Off by default.
    void holdSmall(bool hold) { holdSmall_ = hold; }
    const std::string* held() const { return held_; }

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
    Pass streamInPieces(HANDLE source, interrupter* stop, const wchar_t* target,
                        scoped_handle& made, uint64_t& read);

    std::unique_ptr<Packer> packer_;  // made at the first small file
    AheadPool* pool_ = nullptr;
    bool quietStop_ = false;
    bool holdSmall_ = false;
    const std::string* held_ = nullptr;  // the packer's, while it holds the last stored form
};

class RestoreTransformation : public Transformation {
public:
    explicit RestoreTransformation(bool decompress) : Transformation(decompress) {}
    // Writes the data of the stored file source into a new temporary file
    // beside target (temporaryOf), gives it attributes (when given: the file
    // attributes and the times) and then renames it over target. A failure
    // at any step removes the temporary file and leaves an existing target
    // as it was; damaged data (bytes after the end of the compressed stream
    // too: see StoredDecoder) or a wrong decompression flag fails with 13.
    // Below the confining folder (confine), no folder on the target's way
    // may be a link before the temporary file is made, and neither such a
    // folder nor the target itself before the rename (job/storage/restore_place.h;
    // the folders are looked at once until links().forget()): else nothing
    // is written (or the temporary file is removed) and the result is false
    // with ERROR_STOPPED_ON_SYMLINK (681). An existing name is never written
    // through: the temporary file is made new.
    //
    // Durability: by default (durableEach) the temporary file is forced to
    // the disk before the rename, and the rename is written through, so a
    // true result means the target is on the disk. Without it the temporary
    // file is written and closed but neither forced nor renamed: a true
    // result leaves its path in waiting(), and the caller forces the volume
    // for a group of files (RestoreGroup), then places each (place), then
    // forces the volume again before it counts them as restored. (A rename
    // may reach the disk before the data of the file it names: made first,
    // it could leave the target in place, empty, after a power cut.)
    bool transform(const wchar_t* source, const wchar_t* target,
                   const WIN32_FILE_ATTRIBUTE_DATA* attributes, interrupter* stop) override;
    // What transformAhead did.
    enum class Ahead {
        kNone,     // nothing (a stored file too large for memory, or a failure)
        kWritten,  // the temporary file is written, its path in waiting()
        kHeld,     // the target's folder does not exist yet: the data are in held
        kLater,    // the same for a stored file too large to hold: nothing done
    };
    // The part of a transform without durableEach up to and including the
    // temporary file, done ahead of the item's turn on a thread of its own
    // (each thread with its own transformation): the caller defers the file
    // as for transform, or writes held with write() once the folder is made,
    // or (kNone) calls transform in the item's turn, which fails or streams
    // as it would have. held is replaced. A stored file too large for memory
    // is streamed into its temporary file (stop asked as transform asks it),
    // and never held: without its folder the result is kLater (to be done
    // again once the folder is made), on a failure kNone; nothing is left.
    Ahead transformAhead(const wchar_t* source, const wchar_t* target,
                         const WIN32_FILE_ATTRIBUTE_DATA* attributes, std::vector<uint8_t>& held,
                         interrupter* stop = nullptr);
    // The rest of a transform for restored data in memory: writes them into
    // target's temporary file and goes on as transform does (source, when
    // given, names the stored file in the log).
    bool write(const uint8_t* data, size_t size, const wchar_t* target,
               const WIN32_FILE_ATTRIBUTE_DATA* attributes, const wchar_t* source = nullptr);
    // transform for a stored file whose bytes are in memory (stored, size
    // bytes, not owned): the same data, temporary file, placing and result
    // as transform of a file that holds those bytes, without reading one
    // (source, when given, names the stored data in the log). Nothing asks a
    // stop: the data are at hand.
    bool transformHeld(const uint8_t* stored, size_t size, const wchar_t* target,
                       const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                       const wchar_t* source = nullptr);
    // transform for a stored form that arrives piece by piece (a download),
    // each piece turned back as it comes. openFeed makes target's temporary
    // file as transform does (durableEach is read only at closeFeed); false:
    // nothing made and nothing logged, and the caller turns to transform once
    // the stored file is whole. feed takes the next bytes, on any one thread
    // (not logged; false once the data are damaged or a write failed: the
    // rest is not wanted); feedFailed ends the data with code (a read of the
    // stored form that failed). closeFeed, after the last feed has returned,
    // ends the data and goes on as transform does from there: the same
    // result, log, temporary file, placing and durability (source names the
    // stored form in the log). dropFeed removes the temporary file without a
    // log (a stop: the item is done again later). Between openFeed and
    // closeFeed or dropFeed nothing else of this transformation is called.
    bool openFeed(const wchar_t* target);
    bool feed(const uint8_t* data, size_t size);
    void feedFailed(DWORD code);
    bool closeFeed(const wchar_t* source, const wchar_t* target,
                   const WIN32_FILE_ATTRIBUTE_DATA* attributes);
    void dropFeed();
    // Takes a temporary file that another transformation of the run wrote
    // (transformAhead) as the one waiting(), to be placed by this one.
    void adopt(const std::wstring& temporary) { waiting_ = temporary; }
    // Removes a temporary file that a transform made and nothing placed.
    // Keeps the last error.
    static void removeTemporary(const std::wstring& temporary);
    // The temporary file that the last transform left to be placed; empty
    // when it placed its file itself or failed.
    const std::wstring& waiting() const { return waiting_; }
    // Renames temporary over target (written through when asked), after the
    // link check of target; on failure removes temporary and returns false
    // with the reason in the last error (logged). absent: target was not
    // there when its item's turn came (a rename that cannot replace is tried
    // first, with the check of the way only).
    bool place(const std::wstring& temporary, const wchar_t* target, bool writeThrough,
               bool absent = false);

    // The token of the run's temporary names: with one, the temporary file of
    // a target is "<target>.~tovel-<token>", a name that only this run makes,
    // so that a file left under it by an attempt that never ended (its
    // process died, or the power went) is the run's own: transform removes it
    // first, and so does removeTemporaryOf. Without one (the default) the
    // name is the first free of "<target>.~tovel0", "<target>.~tovel1", ...,
    // and nothing that a transform did not make is ever removed.
    void temporaryToken(const std::wstring& token) { token_ = token; }
    // The name of target's temporary file under the token (see above).
    static std::wstring temporaryOf(const std::wstring& target, const std::wstring& token);
    // Removes target's temporary file of the token, when a file (or a link)
    // of that name is there and no link is on its way. Keeps the last error.
    void removeTemporaryOf(const std::wstring& target);
    // The folder below which no link is followed (see transform); empty (the
    // default): only a link at the target itself is refused.
    void confine(const std::wstring& root) { links_.confine(root); }
    LinkCheck& links() { return links_; }
    void durableEach(bool on) { durableEach_ = on; }
    bool durableEach() const { return durableEach_; }

private:
    // The streamed way of transform: the stored form's first size bytes at
    // stored, then, when rest is not null, what is left of the open stored
    // file, read 1 MiB at a time into read_ (stop asked after every 2 MiB
    // read, those first bytes counted). source names the stored form in the
    // log; quiet as for openTemporary.
    bool stream(const uint8_t* stored, size_t size, HANDLE rest, interrupter* stop,
                const wchar_t* source, const wchar_t* target,
                const WIN32_FILE_ATTRIBUTE_DATA* attributes, DWORD quiet = 0);
    // The link check of target (wayOnly: of its folders only), logged when
    // it fails.
    bool targetFreeOfLinks(const wchar_t* target, bool wayOnly = false);
    // Makes the temporary file of target: see temporaryToken.
    HANDLE createTemporary(const wchar_t* target, std::wstring& path);
    // The link check of target's way, then createTemporary; a failure is
    // logged unless its code is quiet.
    HANDLE openTemporary(const wchar_t* target, std::wstring& temporary, DWORD quiet = 0);
    // Writes size bytes of data into the temporary file, then complete().
    bool writeOut(scoped_handle& file, const std::wstring& temporary, const uint8_t* data,
                  size_t size, const wchar_t* source, const wchar_t* target,
                  const WIN32_FILE_ATTRIBUTE_DATA* attributes);
    // Gives the written temporary file its attributes and times, forces it
    // (durableEach) and closes it; then places it (durableEach) or leaves it
    // in waiting(). code: the write's (not 0: the file is removed, false).
    bool complete(scoped_handle& file, const std::wstring& temporary, const wchar_t* source,
                  const wchar_t* target, const WIN32_FILE_ATTRIBUTE_DATA* attributes, DWORD code,
                  const std::string& reason);

    // A sink that writes the decoded data into out; a failed write leaves
    // its code and text in code and reason.
    static StoredDecoder::Sink writerTo(HANDLE out, DWORD& code, std::string& reason);
    // Ends the decoder's data after its last bytes (damage: 13 and the reason).
    void endData(DWORD& code, std::string& reason);

    std::wstring token_;
    std::wstring waiting_;
    // The stream of openFeed: its temporary file, and the first failure.
    scoped_handle feedFile_;
    std::wstring feedTemporary_;
    DWORD feedCode_ = ERROR_SUCCESS;
    std::string feedReason_;
    LinkCheck links_;
    bool durableEach_ = true;
    bool quietStop_ = false;                  // a stop is not logged (work done ahead)
    std::unique_ptr<uint8_t[]> read_;         // a small stored file, read whole
    std::unique_ptr<uint8_t[]> restored_;     // its data
    std::unique_ptr<StoredDecoder> decoder_;  // made at the first stored file
};
