// The decoding of a stored file back into its data: AES-128-CBC undone and
// its PKCS #7 padding checked, then, for a file stored compressed, the one
// zlib stream inflated, which must fill the decrypted bytes exactly. Bytes
// after the stream's end (its Adler-32), a stream that ends early, a wrong
// header or checksum, bad padding and a length that is not whole blocks are
// all damage.
//
// One decoder serves file after file (begin() starts each), on one thread.
// It keeps its buffers (about 2 MiB) between files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class StoredDecoder {
public:
    // Takes the restored data in order, in pieces of up to about
    // kOutputBytes; false stops the decoding (the sink keeps why).
    using Sink = std::function<bool(const uint8_t* data, size_t size)>;

    static constexpr size_t kOutputBytes = 1u << 20;

    // key and iv: 16 bytes each, copied. Throws std::bad_alloc.
    StoredDecoder(const uint8_t* key, const uint8_t* iv, bool decompress);
    ~StoredDecoder();
    StoredDecoder(const StoredDecoder&) = delete;
    StoredDecoder& operator=(const StoredDecoder&) = delete;

    // Starts a stored file whose data go to sink; drops what an earlier one
    // left.
    void begin(Sink sink);
    // The next size bytes of the stored form. False when the data are
    // damaged (damaged(), with reason()) or the sink stopped the decoding;
    // after that every call is false. Throws std::bad_alloc.
    bool put(const uint8_t* data, size_t size);
    // After the last byte: the padding is checked, the data left reach the
    // sink, and the stream must have ended. False as for put.
    bool finish();

    bool damaged() const { return damaged_; }
    // What is wrong with damaged data, for the log.
    const std::string& reason() const { return reason_; }

private:
    struct Cipher;
    struct Inflater;

    // Hands size decrypted bytes on: to the sink, or through the inflater.
    bool deliver(const uint8_t* plain, size_t size);
    // Inflates what the inflater's input holds, the output to the sink as
    // it fills.
    bool inflateInput();
    bool flush();
    bool damage(const std::string& reason);

    const bool decompress_;
    std::unique_ptr<Cipher> cipher_;
    std::unique_ptr<Inflater> inflater_;
    std::unique_ptr<uint8_t[]> plain_;  // decrypted, kInputBytes + a block
    std::unique_ptr<uint8_t[]> out_;    // inflated, kOutputBytes
    size_t outUsed_ = 0;
    Sink sink_;
    uint64_t taken_ = 0;  // stored bytes put
    bool ended_ = false;  // the stream's end was met
    bool failed_ = false;
    bool damaged_ = false;
    std::string reason_;
};
