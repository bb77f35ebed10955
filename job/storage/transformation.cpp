#include "job/storage/transformation.h"

#include <cryptopp/aes.h>
#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>
#include <cryptopp/zlib.h>

#include <cstring>
#include <functional>
#include <istream>
#include <memory>
#include <new>
#include <ostream>
#include <streambuf>
#include <string>

#include "common/ace_log_wrapper.h"
#include "common/holders.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/storage/piece_deflate.h"
#include "job/storage/restore_place.h"
#include "job/storage/stored_decoder.h"

namespace {

// The data key (first 16 bytes) and IV (last 16 bytes) of every stored file.
// These bytes are part of the stored format: every data file already written,
// offline or on the remote service, is encrypted with them and its restore
// relies on them. Never change them.
constexpr uint8_t kDataKeyMaterial[32] = {
    0xd2, 0x72, 0x42, 0x13, 0x53, 0x96, 0x6d, 0x34, 0xb1, 0x7a, 0xbc, 0xe7, 0x98, 0x2f, 0x33, 0x19,
    0x35, 0x8d, 0x66, 0xb8, 0x29, 0xec, 0xa8, 0x05, 0x89, 0xa0, 0x8a, 0x67, 0x36, 0x91, 0x09, 0x73,
};

constexpr unsigned kDeflateLevel = 6;
constexpr unsigned kLog2Window = 15;

// The attributes that SetFileAttributesW may give a file; the others (folder,
// reparse point, compressed, ...) describe the item and cannot be set by it.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY |
                                      0x1000u /* offline */ | 0x2000u /* not indexed */;

// How far a temporary name beside a restore target is searched for.
constexpr int kTemporaryTries = 100;

// A stored file of at most kInMemoryStored bytes is turned back in memory
// when its data take less than kInMemoryRestored bytes.
constexpr uint64_t kInMemoryStored = 1u << 20;
constexpr uint64_t kInMemoryRestored = 4u << 20;

// The attributes a new file has from its making: it need not be given them.
constexpr DWORD kNewFileAttributes = FILE_ATTRIBUTE_ARCHIVE;

// A stream asks its interrupter after this many bytes read.
constexpr uint64_t kStopQuestionBytes = 2u << 20;

// How many times a source that changes while it is read is read.
constexpr int kSourceReads = 2;

// A read buffer over a source file that counts the bytes it hands on.
class counting_read_buffer : public basic_read_handle_streambuf<char> {
public:
    counting_read_buffer(HANDLE file, interrupter* stop)
        : basic_read_handle_streambuf<char>(file, false, stop) {}
    uint64_t bytes() const { return bytes_; }

protected:
    int_type underflow() override {
        bool refill = gptr() >= egptr();
        int_type next = basic_read_handle_streambuf<char>::underflow();
        if (refill && !traits::eq_int_type(next, traits::eof())) bytes_ += egptr() - eback();
        return next;
    }

private:
    uint64_t bytes_ = 0;
};

// Whether a regular file read between before and after, giving read bytes,
// stayed as it was: the same size and last-write time, and that size read.
// Anything else (a pipe, a device) has no state to compare.
bool same_state(const BY_HANDLE_FILE_INFORMATION& before, const BY_HANDLE_FILE_INFORMATION& after,
                uint64_t read) {
    if (before.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return true;
    uint64_t size = static_cast<uint64_t>(after.nFileSizeHigh) << 32 | after.nFileSizeLow;
    return before.nFileSizeHigh == after.nFileSizeHigh &&
           before.nFileSizeLow == after.nFileSizeLow &&
           before.ftLastWriteTime.dwLowDateTime == after.ftLastWriteTime.dwLowDateTime &&
           before.ftLastWriteTime.dwHighDateTime == after.ftLastWriteTime.dwHighDateTime &&
           size == read;
}

// How one pass through a chain ended: code 0 when the whole input reached the
// output; otherwise the Win32 code (1223 for a stop) and a text for the log.
struct PassResult {
    DWORD code = ERROR_SUCCESS;
    std::string reason;
};

// Runs build (which makes and pumps a chain from in to out) and turns what it
// throws into a code: the read buffer's stop and read errors as they come, a
// failed write as the code that WriteFile left, malformed data (bad padding,
// bad zlib header or checksum) as 13, anything else as 31.
template <class Build>
PassResult run_guarded(Build build) {
    SetLastError(ERROR_SUCCESS);
    try {
        build();
        return {};
    } catch (const char*) {  // the read buffer's stop
        return {ERROR_CANCELLED, "user cancelled"};
    } catch (const win32_read_error& error) {
        return {error.code(), win32_error_text(error.code()).text()};
    } catch (const CryptoPP::Exception& error) {
        DWORD code = GetLastError();
        if (error.GetErrorType() == CryptoPP::Exception::IO_ERROR && code != ERROR_SUCCESS)
            return {code, win32_error_text(code).text()};
        return {ERROR_INVALID_DATA, error.what()};
    } catch (const std::bad_alloc&) {
        return {ERROR_NOT_ENOUGH_MEMORY, win32_error_text(ERROR_NOT_ENOUGH_MEMORY).text()};
    } catch (const std::exception& error) {
        return {ERROR_GEN_FAILURE, error.what()};
    }
}

template <class Build>
PassResult run_pass(std::istream& in, Build build) {
    return run_guarded([&] {
        // Lets the read buffer's exceptions through instead of a bare badbit.
        in.exceptions(std::ios_base::badbit);
        build();
    });
}

// Opens a new file beside target, never one that exists already: its path
// goes to path. INVALID_HANDLE_VALUE with the last error of the first failure
// other than an existing name.
// A new file at path for the restored data (never one that exists).
HANDLE create_new(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                       nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE create_temporary_beside(const wchar_t* target, std::wstring& path) {
    for (int n = 0; n < kTemporaryTries; ++n) {
        path = std::wstring(target) + L".~tovel" + std::to_wstring(n);
        HANDLE handle = create_new(path);
        if (handle != INVALID_HANDLE_VALUE) return handle;
        DWORD code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return handle;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

// The decoder of a restore transformation, made on first use. Throws
// std::bad_alloc.
StoredDecoder& decoder_of(std::unique_ptr<StoredDecoder>& decoder, const uint8_t* key,
                          const uint8_t* iv, bool decompress) {
    if (!decoder) decoder = std::make_unique<StoredDecoder>(key, iv, decompress);
    return *decoder;
}

// Turns stored bytes (held of them) back in memory into restored (allocated
// on first use), made bytes. False when the data do not fit the memory kept
// for them; true with result's code 0, or with the failure's code (damaged
// data).
bool decode_in_memory(const uint8_t* bytes, size_t held, std::unique_ptr<StoredDecoder>& decoder,
                      const uint8_t* key, const uint8_t* iv, bool decompress,
                      std::unique_ptr<uint8_t[]>& restored, size_t& made, PassResult& result) {
    result = {};
    made = 0;
    bool full = false;
    try {
        if (!restored) restored.reset(new uint8_t[kInMemoryRestored]);
        StoredDecoder& decoding = decoder_of(decoder, key, iv, decompress);
        uint8_t* into = restored.get();
        decoding.begin([&](const uint8_t* data, size_t size) {
            if (made + size >= kInMemoryRestored) {
                full = true;
                return false;
            }
            std::memcpy(into + made, data, size);
            made += size;
            return true;
        });
        if (decoding.put(bytes, held) && decoding.finish()) return true;
        if (full) return false;
        result = {ERROR_INVALID_DATA, decoding.reason()};
    } catch (const std::bad_alloc&) {
        result = {ERROR_NOT_ENOUGH_MEMORY, win32_error_text(ERROR_NOT_ENOUGH_MEMORY).text()};
    }
    return true;
}

// The first read of a stored file: up to a byte more than kInMemoryStored.
struct StoredRead {
    scoped_handle file;
    bool opened = false;
    size_t held = 0;     // bytes read
    bool whole = false;  // they are the whole file
};

// Opens the stored file source and reads its first bytes into bytes
// (allocated on first use). False when it cannot be opened (opened false) or
// read, with the code in result. One read asks for a byte more than the
// limit: a file that gives fewer has ended (a file's read comes short only at
// its end).
bool read_stored(const wchar_t* source, std::unique_ptr<uint8_t[]>& bytes, StoredRead& read,
                 PassResult& result) {
    result = {};
    read.file.reset(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    read.opened = read.file.valid();
    if (!read.opened) {
        DWORD code = GetLastError();
        result = {code, win32_error_text(code).text()};
        return false;
    }
    if (!bytes) bytes.reset(new (std::nothrow) uint8_t[kInMemoryStored + 1]);
    DWORD got = 0;
    if (!bytes || !ReadFile(read.file.get(), bytes.get(), static_cast<DWORD>(kInMemoryStored + 1),
                            &got, nullptr)) {
        DWORD code = bytes ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        result = {code, win32_error_text(code).text()};
        return false;
    }
    read.held = got;
    read.whole = got <= kInMemoryStored;
    return true;
}

// Removes a file that this transformation made, even when it was already
// given the read-only attribute. Keeps the last error.
void remove_made_file(const wchar_t* path) {
    last_error_restorer keep;
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(path)) {
        DWORD code = GetLastError();
        log_message(LM_WARNING, "Failed to remove %s, %s.\n", to_utf8(path).c_str(),
                    win32_error_text(code).text());
    }
}

}  // namespace

Transformation::Transformation(bool compression) : compression_(compression) {
    std::memcpy(key_, kDataKeyMaterial, sizeof key_);
    std::memcpy(iv_, kDataKeyMaterial + sizeof key_, sizeof iv_);
}

namespace {

// A read buffer over bytes in memory.
class memory_buffer : public std::streambuf {
public:
    explicit memory_buffer(std::string& bytes) {
        char* begin = bytes.empty() ? nullptr : &bytes[0];
        setg(begin, begin, begin + bytes.size());
    }
};

}  // namespace

// The stored form of small files, made in memory: one compressor and one
// cipher serve every file, each started over for the next. A compressor
// that ended a message has reset itself, but for the level that its test
// for data that does not compress may have lowered: it is set again. The
// cipher is set back to the IV. A failure drops the compressor, so that the
// next file gets a new one.
class BackupTransformation::Packer {
public:
    Packer(const uint8_t* key, const uint8_t* iv) : cipher_(key, 16, iv) {
        std::memcpy(iv_, iv, sizeof iv_);
    }
    // The source's bytes, read by the caller.
    std::string& data() { return data_; }
    // The stored form of data(): compressed when asked, then padded and
    // encrypted. Throws what the compressor and the cipher throw.
    const std::string& pack(bool compress) {
        std::string* plain = &data_;
        if (compress) {
            if (!compressor_)
                compressor_ = std::make_unique<CryptoPP::ZlibCompressor>(
                    new CryptoPP::StringSink(compressed_), kDeflateLevel, kLog2Window, true);
            compressed_.clear();
            try {
                compressor_->SetDeflateLevel(kDeflateLevel);
                // Fed as a file source feeds it, piece by piece: where the
                // compressor ends its blocks depends on the pieces it gets.
                memory_buffer buffer(data_);
                std::istream in(&buffer);
                CryptoPP::FileSource pump(in, true, new CryptoPP::Redirector(*compressor_));
            } catch (...) {
                compressor_.reset();
                throw;
            }
            plain = &compressed_;
        }
        // PKCS #7: a whole block of padding when the length is a multiple.
        size_t pad = CryptoPP::AES::BLOCKSIZE - plain->size() % CryptoPP::AES::BLOCKSIZE;
        plain->append(pad, static_cast<char>(pad));
        stored_.resize(plain->size());
        cipher_.Resynchronize(iv_, sizeof iv_);
        cipher_.ProcessData(reinterpret_cast<CryptoPP::byte*>(&stored_[0]),
                            reinterpret_cast<const CryptoPP::byte*>(plain->data()), plain->size());
        return stored_;
    }

private:
    CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption cipher_;
    uint8_t iv_[16];
    std::string data_;
    std::string compressed_;  // the compressor's sink: declared before it
    std::unique_ptr<CryptoPP::ZlibCompressor> compressor_;
    std::string stored_;
};

// How one pass ended: code 0 when the target holds the stored form of what
// was read; targetFailed when the target could not be made.
struct BackupTransformation::Pass {
    DWORD code = ERROR_SUCCESS;
    std::string reason;
    bool targetFailed = false;
};

BackupTransformation::BackupTransformation(bool compress) : Transformation(compress) {}

BackupTransformation::~BackupTransformation() = default;

bool BackupTransformation::transform(const wchar_t* source, const wchar_t* target,
                                     const WIN32_FILE_ATTRIBUTE_DATA* /*attributes*/,
                                     interrupter* stop) {
    read_ = SourceRead();
    kept_.close();
    held_ = nullptr;
    if (!source || !target) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION before{}, after{};
    uint64_t bytes = 0;
    bool steady = false;
    for (int attempt = 0; attempt < kSourceReads && !steady; ++attempt) {
        if (attempt > 0)
            log_message(LM_WARNING, "%s changed while it was read, reading it again.\n",
                        to_utf8(source).c_str());
        if (!pass(source, target, stop, before, after, bytes)) return false;
        steady = same_state(before, after, bytes);
    }
    if (!steady)
        log_message(LM_WARNING,
                    "%s changed while it was read, twice: %s bytes of it are stored as the last "
                    "read found them.\n",
                    to_utf8(source).c_str(), std::to_string(bytes).c_str());
    read_.known = true;
    read_.size = bytes;
    read_.lastWriteTime = before.ftLastWriteTime;
    read_.changed = !steady;
    if (!keepTarget_) kept_.close();
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool BackupTransformation::pass(const wchar_t* source, const wchar_t* target, interrupter* stop,
                                BY_HANDLE_FILE_INFORMATION& before,
                                BY_HANDLE_FILE_INFORMATION& after, uint64_t& read) {
    kept_.close();
    held_ = nullptr;
    Pass result;
    scoped_handle made;
    {
        scoped_handle file(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid() || !GetFileInformationByHandle(file.get(), &before)) {
            DWORD code = GetLastError();
            log_message(LM_ERROR, "Failed to open source %s, %s\n", to_utf8(source).c_str(),
                        win32_error_text(code).text());
            SetLastError(code);
            return false;
        }
        uint64_t size = static_cast<uint64_t>(before.nFileSizeHigh) << 32 | before.nFileSizeLow;
        read = 0;
        if (!(before.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) && size <= kInMemoryBytes)
            result = packInMemory(file.get(), size, stop, target, made, read);
        else
            result = stream(file.get(), stop, target, made, read);
        if (result.code == ERROR_SUCCESS && !GetFileInformationByHandle(file.get(), &after)) {
            DWORD code = GetLastError();
            result.code = code;
            result.reason = win32_error_text(code).text();
        }
    }  // the source is closed here
    if (result.targetFailed) {
        log_message(LM_ERROR, "Failed to open target %s, %s\n", to_utf8(target).c_str(),
                    win32_error_text(result.code).text());
        SetLastError(result.code);
        return false;
    }
    if (result.code == ERROR_SUCCESS) {
        kept_ = std::move(made);
        return true;
    }
    held_ = nullptr;
    made.close();
    remove_made_file(target);
    if (result.code == ERROR_CANCELLED) {
        if (!quietStop_)
            log_message(LM_ERROR, "Failed to compress and encrypt %s, user cancelled.\n",
                        to_utf8(source).c_str());
    } else
        log_message(LM_ERROR, "Failed to compress and encrypt %s, %s.\n", to_utf8(source).c_str(),
                    result.reason.c_str());
    SetLastError(result.code);
    return false;
}

BackupTransformation::Pass BackupTransformation::packInMemory(HANDLE source, uint64_t size,
                                                              interrupter* stop,
                                                              const wchar_t* target,
                                                              scoped_handle& made, uint64_t& read) {
    Pass result;
    if (!packer_) packer_ = std::make_unique<Packer>(key_, iv_);
    std::string& data = packer_->data();
    // One byte more than the size: a short read is the end of the file, and
    // a file longer than its size says (one that grows, or a file of the
    // system whose size tells nothing) goes the streamed way from its start.
    data.resize(static_cast<size_t>(size) + 1);
    DWORD got = 0;
    if (!ReadFile(source, &data[0], static_cast<DWORD>(data.size()), &got, nullptr)) {
        result.code = GetLastError();
        result.reason = win32_error_text(result.code).text();
        return result;
    }
    if (got > size) {
        LARGE_INTEGER start;
        start.QuadPart = 0;
        if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) {
            result.code = GetLastError();
            result.reason = win32_error_text(result.code).text();
            return result;
        }
        return stream(source, stop, target, made, read);
    }
    data.resize(got);
    read = got;
    const std::string* stored = nullptr;
    try {
        stored = &packer_->pack(compression_);
    } catch (const std::bad_alloc&) {
        result.code = ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::exception& error) {
        result.code = ERROR_GEN_FAILURE;
        result.reason = error.what();
    }
    if (!stored) {
        if (result.reason.empty()) result.reason = win32_error_text(result.code).text();
        return result;
    }
    if (holdSmall_) {
        held_ = stored;
        return result;
    }
    made.reset(CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!made.valid()) {
        result.code = GetLastError();
        result.targetFailed = true;
        made.reset();
        return result;
    }
    DWORD written = 0;
    if (!WriteFile(made.get(), stored->data(), static_cast<DWORD>(stored->size()), &written,
                   nullptr)) {
        result.code = GetLastError();
        if (result.code == ERROR_SUCCESS) result.code = ERROR_GEN_FAILURE;
        result.reason = win32_error_text(result.code).text();
    }
    return result;
}

BackupTransformation::Pass BackupTransformation::stream(HANDLE source, interrupter* stop,
                                                        const wchar_t* target, scoped_handle& made,
                                                        uint64_t& read) {
    if (compression_ && pool_) return streamInPieces(source, stop, target, made, read);
    Pass result;
    made.reset(CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!made.valid()) {
        result.code = GetLastError();
        result.targetFailed = true;
        made.reset();
        return result;
    }
    counting_read_buffer buffer(source, stop);
    std::istream in(&buffer);
    PassResult passed;
    {
        basic_write_handle_streambuf<char> sink(made.get(), false);
        std::ostream out(&sink);
        passed = run_pass(in, [&] {
            CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption cipher(key_, sizeof key_, iv_);
            auto* encrypt = new CryptoPP::StreamTransformationFilter(
                cipher, new CryptoPP::FileSink(out), CryptoPP::BlockPaddingSchemeDef::PKCS_PADDING);
            CryptoPP::BufferedTransformation* first = encrypt;
            if (compression_)
                first = new CryptoPP::ZlibCompressor(encrypt, kDeflateLevel, kLog2Window, true);
            CryptoPP::FileSource pump(in, true, first);
        });
    }  // the sink wrote what it held at the end of the chain
    read = buffer.bytes();
    result.code = passed.code;
    result.reason = passed.reason;
    return result;
}

BackupTransformation::Pass BackupTransformation::streamInPieces(HANDLE source, interrupter* stop,
                                                                const wchar_t* target,
                                                                scoped_handle& made,
                                                                uint64_t& read) {
    Pass result;
    made.reset(CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!made.valid()) {
        result.code = GetLastError();
        result.targetFailed = true;
        made.reset();
        return result;
    }
    read = 0;
    PassResult passed;
    {
        basic_write_handle_streambuf<char> sink(made.get(), false);
        std::ostream out(&sink);
        passed = run_guarded([&] {
            CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption cipher(key_, sizeof key_, iv_);
            CryptoPP::StreamTransformationFilter encrypt(
                cipher, new CryptoPP::FileSink(out), CryptoPP::BlockPaddingSchemeDef::PKCS_PADDING);
            PieceDeflate deflate(
                *pool_, [&](const uint8_t* data, size_t size) { encrypt.Put(data, size); });
            // The stop is asked as a stream asks it: after every 2 MiB read.
            uint64_t asked = 0;
            for (bool last = false; !last;) {
                uint8_t* piece = deflate.next();
                size_t got = 0;
                while (got < PieceDeflate::kPieceBytes) {
                    DWORD now = 0;
                    if (!ReadFile(source, piece + got,
                                  static_cast<DWORD>(PieceDeflate::kPieceBytes - got), &now,
                                  nullptr))
                        throw win32_read_error(GetLastError());
                    if (now == 0) break;
                    got += now;
                }
                read += got;
                if (stop && read - asked >= kStopQuestionBytes) {
                    asked = read;
                    if (stop->interrupted()) throw "interrupt";
                }
                last = got < PieceDeflate::kPieceBytes;
                deflate.post(got, last);
            }
            deflate.finish();
            encrypt.MessageEnd();
        });
    }  // the sink wrote what it held at the end of the chain
    result.code = passed.code;
    result.reason = passed.reason;
    return result;
}

bool RestoreTransformation::transform(const wchar_t* source, const wchar_t* target,
                                      const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                                      interrupter* stop) {
    if (!source || !target) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    waiting_.clear();
    // A small stored file is read whole and turned back in memory, its data
    // then written at once; a larger one (or one whose data would not fit
    // the memory kept for it) is streamed.
    PassResult result;
    StoredRead read;
    if (!read_stored(source, read_, read, result)) {
        if (read.opened)
            log_message(LM_ERROR, "Failed to decrypt and decompress %s, %s.\n",
                        to_utf8(source).c_str(), result.reason.c_str());
        else
            log_message(LM_ERROR, "Failed to target file %s, %s.\n", to_utf8(source).c_str(),
                        result.reason.c_str());
        SetLastError(result.code);
        return false;
    }
    size_t made = 0;
    if (read.whole && decode_in_memory(read_.get(), read.held, decoder_, key_, iv_, compression_,
                                       restored_, made, result)) {
        if (result.code != ERROR_SUCCESS) {
            // Damaged data: nothing is written.
            log_message(LM_ERROR, "Failed to decrypt and decompress %s, %s.\n",
                        to_utf8(source).c_str(), result.reason.c_str());
            SetLastError(result.code);
            return false;
        }
        return write(restored_.get(), made, target, attributes, source);
    }
    return stream(read_.get(), read.held, read.whole ? nullptr : read.file.get(), stop, source,
                  target, attributes);
}

bool RestoreTransformation::stream(const uint8_t* stored, size_t size, HANDLE rest,
                                   interrupter* stop, const wchar_t* source, const wchar_t* target,
                                   const WIN32_FILE_ATTRIBUTE_DATA* attributes, DWORD quiet) {
    std::wstring temporary;
    scoped_handle file(openTemporary(target, temporary, quiet));
    if (!file.valid()) return false;
    PassResult result;
    try {
        StoredDecoder& decoding = decoder_of(decoder_, key_, iv_, compression_);
        decoding.begin(writerTo(file.get(), result.code, result.reason));
        bool going = decoding.put(stored, size);
        // The stop is asked after every 2 MiB read, the first bytes counted.
        uint64_t unasked = size;
        while (going && rest) {
            if (stop && unasked >= kStopQuestionBytes) {
                unasked = 0;
                if (stop->interrupted()) {
                    result = {ERROR_CANCELLED, "user cancelled"};
                    going = false;
                    break;
                }
            }
            DWORD got = 0;
            if (!ReadFile(rest, read_.get(), static_cast<DWORD>(kInMemoryStored), &got, nullptr)) {
                DWORD code = GetLastError();
                result = {code, win32_error_text(code).text()};
                going = false;
                break;
            }
            if (got == 0) break;
            unasked += got;
            going = decoding.put(read_.get(), got);
        }
        if (going) {
            endData(result.code, result.reason);
        } else if (decoding.damaged()) {
            result = {ERROR_INVALID_DATA, decoding.reason()};
        }
    } catch (const std::bad_alloc&) {
        result = {ERROR_NOT_ENOUGH_MEMORY, win32_error_text(ERROR_NOT_ENOUGH_MEMORY).text()};
    }
    return complete(file, temporary, source, target, attributes, result.code, result.reason);
}

StoredDecoder::Sink RestoreTransformation::writerTo(HANDLE out, DWORD& code, std::string& reason) {
    return [out, &code, &reason](const uint8_t* data, size_t bytes) {
        for (size_t done = 0; done < bytes;) {
            DWORD written = 0;
            if (!WriteFile(out, data + done, static_cast<DWORD>(bytes - done), &written, nullptr) ||
                written == 0) {
                code = GetLastError();
                if (code == ERROR_SUCCESS) code = ERROR_DISK_FULL;
                reason = win32_error_text(code).text();
                return false;
            }
            done += written;
        }
        return true;
    };
}

void RestoreTransformation::endData(DWORD& code, std::string& reason) {
    if (!decoder_->finish() && decoder_->damaged()) {
        code = ERROR_INVALID_DATA;
        reason = decoder_->reason();
    }
}

bool RestoreTransformation::openFeed(const wchar_t* target) {
    waiting_.clear();
    feedCode_ = ERROR_SUCCESS;
    feedReason_.clear();
    if (!target || !links_.wayFreeOfLinks(target)) return false;
    feedFile_.reset(createTemporary(target, feedTemporary_));
    if (!feedFile_.valid()) {
        feedFile_.reset();
        return false;
    }
    try {
        decoder_of(decoder_, key_, iv_, compression_)
            .begin(writerTo(feedFile_.get(), feedCode_, feedReason_));
    } catch (const std::bad_alloc&) {
        dropFeed();
        return false;
    }
    return true;
}

bool RestoreTransformation::feed(const uint8_t* data, size_t size) {
    if (feedCode_ != ERROR_SUCCESS) return false;
    try {
        if (decoder_->put(data, size)) return true;
        if (decoder_->damaged()) {
            feedCode_ = ERROR_INVALID_DATA;
            feedReason_ = decoder_->reason();
        }
    } catch (const std::bad_alloc&) {
        feedFailed(ERROR_NOT_ENOUGH_MEMORY);
    }
    return false;
}

void RestoreTransformation::feedFailed(DWORD code) {
    if (feedCode_ != ERROR_SUCCESS) return;
    feedCode_ = code;
    feedReason_ = win32_error_text(code).text();
}

bool RestoreTransformation::closeFeed(const wchar_t* source, const wchar_t* target,
                                      const WIN32_FILE_ATTRIBUTE_DATA* attributes) {
    if (feedCode_ == ERROR_SUCCESS) {
        try {
            endData(feedCode_, feedReason_);
        } catch (const std::bad_alloc&) {
            feedFailed(ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    std::wstring temporary = std::move(feedTemporary_);
    feedTemporary_.clear();
    return complete(feedFile_, temporary, source, target, attributes, feedCode_, feedReason_);
}

void RestoreTransformation::dropFeed() {
    feedFile_.reset();
    if (!feedTemporary_.empty()) remove_made_file(feedTemporary_.c_str());
    feedTemporary_.clear();
}

bool RestoreTransformation::transformHeld(const uint8_t* stored, size_t size, const wchar_t* target,
                                          const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                                          const wchar_t* source) {
    if (!target || (!stored && size)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    waiting_.clear();
    static const uint8_t kNothing = 0;
    if (!stored) stored = &kNothing;
    PassResult result;
    size_t made = 0;
    if (decode_in_memory(stored, size, decoder_, key_, iv_, compression_, restored_, made,
                         result)) {
        if (result.code != ERROR_SUCCESS) {
            log_message(LM_ERROR, "Failed to decrypt and decompress %s, %s.\n",
                        to_utf8(source ? source : target).c_str(), result.reason.c_str());
            SetLastError(result.code);
            return false;
        }
        return write(restored_.get(), made, target, attributes, source);
    }
    // Data too large for the memory kept for them: streamed from the bytes.
    return stream(stored, size, nullptr, nullptr, source ? source : target, target, attributes);
}

RestoreTransformation::Ahead RestoreTransformation::transformAhead(
    const wchar_t* source, const wchar_t* target, const WIN32_FILE_ATTRIBUTE_DATA* attributes,
    std::vector<uint8_t>& held, interrupter* stop) {
    waiting_.clear();
    held.clear();
    if (!source || !target) return Ahead::kNone;
    PassResult result;
    StoredRead read;
    if (!read_stored(source, read_, read, result)) return Ahead::kNone;
    size_t made = 0;
    if (!read.whole || !decode_in_memory(read_.get(), read.held, decoder_, key_, iv_, compression_,
                                         restored_, made, result)) {
        // Too large for memory: streamed into its temporary file, when its
        // folder is there; a failure is done again in the item's turn.
        bool each = durableEach_;
        durableEach_ = false;
        quietStop_ = true;  // a stop drops work done ahead: no failure of the item
        bool written = stream(read_.get(), read.held, read.whole ? nullptr : read.file.get(), stop,
                              source, target, attributes, ERROR_PATH_NOT_FOUND);
        quietStop_ = false;
        durableEach_ = each;
        if (written) return Ahead::kWritten;
        return GetLastError() == ERROR_PATH_NOT_FOUND ? Ahead::kLater : Ahead::kNone;
    }
    if (result.code != ERROR_SUCCESS) return Ahead::kNone;
    std::wstring temporary;
    // A target whose folder the job has not made yet gets the data later:
    // the temporary file's creation tells, without a look of its own.
    scoped_handle file(openTemporary(target, temporary, ERROR_PATH_NOT_FOUND));
    if (!file.valid()) {
        if (GetLastError() != ERROR_PATH_NOT_FOUND) return Ahead::kNone;
        held.assign(restored_.get(), restored_.get() + made);
        return Ahead::kHeld;
    }
    bool each = durableEach_;
    durableEach_ = false;
    bool written = writeOut(file, temporary, restored_.get(), made, nullptr, target, attributes);
    durableEach_ = each;
    return written ? Ahead::kWritten : Ahead::kNone;
}

bool RestoreTransformation::write(const uint8_t* data, size_t size, const wchar_t* target,
                                  const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                                  const wchar_t* source) {
    waiting_.clear();
    std::wstring temporary;
    scoped_handle file(openTemporary(target, temporary));
    if (!file.valid()) return false;
    return writeOut(file, temporary, data, size, source, target, attributes);
}

bool RestoreTransformation::writeOut(scoped_handle& file, const std::wstring& temporary,
                                     const uint8_t* data, size_t size, const wchar_t* source,
                                     const wchar_t* target,
                                     const WIN32_FILE_ATTRIBUTE_DATA* attributes) {
    DWORD code = ERROR_SUCCESS;
    for (size_t done = 0; done < size;) {
        DWORD written = 0;
        DWORD piece = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        if (!WriteFile(file.get(), data + done, piece, &written, nullptr) || written == 0) {
            code = GetLastError();
            if (code == ERROR_SUCCESS) code = ERROR_DISK_FULL;
            break;
        }
        done += written;
    }
    return complete(file, temporary, source, target, attributes, code,
                    code == ERROR_SUCCESS ? std::string() : win32_error_text(code).text());
}

HANDLE RestoreTransformation::openTemporary(const wchar_t* target, std::wstring& temporary,
                                            DWORD quiet) {
    // The data goes to a new file beside the target, which replaces the
    // target only once it is whole: a damaged or stopped restore leaves an
    // existing target as it was. The handle stays ours (not a stream's) so
    // that the times are set on it before it is closed. The temporary file
    // is made new (never through a link at its name); the target itself is
    // looked at before the rename.
    if (!targetFreeOfLinks(target, true)) return INVALID_HANDLE_VALUE;
    HANDLE file = createTemporary(target, temporary);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == quiet) return file;
        log_message(LM_ERROR, "Failed to open target %s, %s.\n", to_utf8(target).c_str(),
                    win32_error_text(code).text());
        SetLastError(code);
    }
    return file;
}

bool RestoreTransformation::complete(scoped_handle& file, const std::wstring& temporary,
                                     const wchar_t* source, const wchar_t* target,
                                     const WIN32_FILE_ATTRIBUTE_DATA* attributes, DWORD code,
                                     const std::string& reason) {
    if (code == ERROR_SUCCESS && attributes) {
        DWORD wanted = attributes->dwFileAttributes & kSettableAttributes;
        if (!wanted) wanted = FILE_ATTRIBUTE_NORMAL;
        if (wanted != kNewFileAttributes && !SetFileAttributesW(temporary.c_str(), wanted)) {
            DWORD failed = GetLastError();
            log_message(LM_WARNING, "Failed to set the attributes of %s, %s.\n",
                        to_utf8(target).c_str(), win32_error_text(failed).text());
        }
        if (!SetFileTime(file.get(), &attributes->ftCreationTime, &attributes->ftLastAccessTime,
                         &attributes->ftLastWriteTime)) {
            DWORD failed = GetLastError();
            log_message(LM_WARNING, "Failed to set the times of %s, %s.\n", to_utf8(target).c_str(),
                        win32_error_text(failed).text());
        }
    }
    // The restored bytes reach the disk before the file takes the target's
    // place, and that place before the item counts as restored: a run that
    // ends completed has its files on the disk. (Without durableEach the
    // caller forces them in groups, then places them.)
    std::string why = reason;
    if (code == ERROR_SUCCESS && durableEach_ && !FlushFileBuffers(file.get())) {
        code = GetLastError();
        why = win32_error_text(code).text();
    }
    file.reset();
    if (code != ERROR_SUCCESS) {
        remove_made_file(temporary.c_str());
        std::string what = to_utf8(source ? source : target);
        if (code != ERROR_CANCELLED)
            log_message(LM_ERROR, "Failed to decrypt and decompress %s, %s.\n", what.c_str(),
                        why.c_str());
        else if (!quietStop_)
            log_message(LM_ERROR, "Failed to decrypt and decompress %s, user cancelled.\n",
                        what.c_str());
        SetLastError(code);
        return false;
    }
    if (!durableEach_) {
        waiting_ = temporary;
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    return place(temporary, target, true);
}

void RestoreTransformation::removeTemporary(const std::wstring& temporary) {
    remove_made_file(temporary.c_str());
}

bool RestoreTransformation::place(const std::wstring& temporary, const wchar_t* target,
                                  bool writeThrough, bool absent) {
    DWORD through = writeThrough ? MOVEFILE_WRITE_THROUGH : 0;
    // A rename that never replaces can neither follow nor replace a link at
    // the target: where nothing was, only the way is looked at (whatever
    // came since takes the usual way below).
    if (absent && links_.wayFreeOfLinks(target) &&
        MoveFileExW(temporary.c_str(), target, through)) {
        SetLastError(ERROR_SUCCESS);
        return true;
    }
    // What lay on the way may have changed while the data were written.
    DWORD flags = MOVEFILE_REPLACE_EXISTING | through;
    bool moved = targetFreeOfLinks(target) && MoveFileExW(temporary.c_str(), target, flags);
    DWORD code = GetLastError();
    if (!moved) {
        remove_made_file(temporary.c_str());
        log_message(LM_ERROR, "Failed to replace target %s, %s.\n", to_utf8(target).c_str(),
                    win32_error_text(code).text());
        SetLastError(code);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

std::wstring RestoreTransformation::temporaryOf(const std::wstring& target,
                                                const std::wstring& token) {
    return target + L".~tovel-" + token;
}

HANDLE RestoreTransformation::createTemporary(const wchar_t* target, std::wstring& path) {
    if (token_.empty()) return create_temporary_beside(target, path);
    path = temporaryOf(target, token_);
    HANDLE handle = create_new(path);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return handle;
    // Left by an attempt of this run that never ended, unless it is no plain
    // file (a link is never written through, nor given attributes).
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return create_temporary_beside(target, path);
    log_message(LM_INFO, "Removing %s, left by a restore that never ended.\n",
                to_utf8(path).c_str());
    remove_made_file(path.c_str());
    handle = create_new(path);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) return handle;
    return create_temporary_beside(target, path);
}

void RestoreTransformation::removeTemporaryOf(const std::wstring& target) {
    if (token_.empty()) return;
    last_error_restorer keep;
    std::wstring left = temporaryOf(target, token_);
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    // A link at the name or on its way is left alone.
    if (!links_.freeOfLinks(left, &attributes)) return;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    log_message(LM_INFO, "Removing %s, left by a restore that never ended.\n",
                to_utf8(left).c_str());
    remove_made_file(left.c_str());
}

bool RestoreTransformation::targetFreeOfLinks(const wchar_t* target, bool wayOnly) {
    if (wayOnly ? links_.wayFreeOfLinks(target) : links_.freeOfLinks(target)) return true;
    DWORD code = GetLastError();
    log_message(LM_ERROR, "Refused to write %s, %s.\n", to_utf8(target).c_str(),
                win32_error_text(code).text());
    SetLastError(code);
    return false;
}
