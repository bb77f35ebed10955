#include "job/storage/stored_decoder.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr size_t kBlockBytes = 16;
// The stored bytes decrypted at a time.
constexpr size_t kInputBytes = 1u << 20;

}  // namespace

struct StoredDecoder::Cipher {
    Cipher(const uint8_t* key, const uint8_t* iv) : context(EVP_CIPHER_CTX_new()) {
        std::memcpy(this->iv, iv, sizeof this->iv);
        if (!context || EVP_DecryptInit_ex(context, EVP_aes_128_cbc(), nullptr, key, iv) != 1) {
            EVP_CIPHER_CTX_free(context);
            throw std::bad_alloc();
        }
    }
    ~Cipher() { EVP_CIPHER_CTX_free(context); }
    Cipher(const Cipher&) = delete;
    Cipher& operator=(const Cipher&) = delete;

    // Back to the IV, the key kept, nothing held.
    void restart() {
        if (EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, iv) != 1) throw std::bad_alloc();
    }

    EVP_CIPHER_CTX* context;
    uint8_t iv[kBlockBytes];
};

struct StoredDecoder::Inflater {
    Inflater() {
        std::memset(&stream, 0, sizeof stream);
        if (inflateInit(&stream) != Z_OK) throw std::bad_alloc();
    }
    ~Inflater() { inflateEnd(&stream); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    z_stream stream;
};

StoredDecoder::StoredDecoder(const uint8_t* key, const uint8_t* iv, bool decompress)
    : decompress_(decompress),
      cipher_(std::make_unique<Cipher>(key, iv)),
      plain_(new uint8_t[kInputBytes + kBlockBytes]) {
    if (decompress_) {
        inflater_ = std::make_unique<Inflater>();
        out_.reset(new uint8_t[kOutputBytes]);
    }
}

StoredDecoder::~StoredDecoder() = default;

void StoredDecoder::begin(Sink sink) {
    sink_ = std::move(sink);
    cipher_->restart();
    if (inflater_ && inflateReset(&inflater_->stream) != Z_OK) throw std::bad_alloc();
    outUsed_ = 0;
    taken_ = 0;
    ended_ = false;
    failed_ = false;
    damaged_ = false;
    reason_.clear();
}

bool StoredDecoder::put(const uint8_t* data, size_t size) {
    while (size > 0 && !failed_) {
        size_t now = std::min(size, kInputBytes);
        int made = 0;
        if (EVP_DecryptUpdate(cipher_->context, plain_.get(), &made, data, static_cast<int>(now)) !=
            1)
            return damage("the data cannot be decrypted");
        taken_ += now;
        data += now;
        size -= now;
        if (!deliver(plain_.get(), static_cast<size_t>(made))) return false;
    }
    return !failed_;
}

bool StoredDecoder::finish() {
    if (failed_) return false;
    if (taken_ == 0 || taken_ % kBlockBytes != 0)
        return damage("the data are not whole cipher blocks");
    int made = 0;
    if (EVP_DecryptFinal_ex(cipher_->context, plain_.get(), &made) != 1)
        return damage("the padding of the data is not valid");
    if (!deliver(plain_.get(), static_cast<size_t>(made))) return false;
    if (!decompress_) return true;
    if (!ended_) return damage("the compressed data end before their stream does");
    return flush();
}

bool StoredDecoder::deliver(const uint8_t* plain, size_t size) {
    if (size == 0) return true;
    if (!decompress_) {
        if (sink_(plain, size)) return true;
        failed_ = true;
        return false;
    }
    if (ended_) return damage("bytes follow the end of the compressed stream");
    z_stream& stream = inflater_->stream;
    stream.next_in = const_cast<Bytef*>(plain);
    stream.avail_in = static_cast<uInt>(size);
    return inflateInput();
}

bool StoredDecoder::inflateInput() {
    z_stream& stream = inflater_->stream;
    for (;;) {
        if (outUsed_ == kOutputBytes && !flush()) return false;
        stream.next_out = out_.get() + outUsed_;
        stream.avail_out = static_cast<uInt>(kOutputBytes - outUsed_);
        int result = inflate(&stream, Z_NO_FLUSH);
        outUsed_ = kOutputBytes - stream.avail_out;
        if (result == Z_STREAM_END) {
            ended_ = true;
            if (stream.avail_in > 0) return damage("bytes follow the end of the compressed stream");
            return true;
        }
        if (result == Z_MEM_ERROR) throw std::bad_alloc();
        if (result == Z_NEED_DICT) return damage("the compressed stream asks for a dictionary");
        if (result != Z_OK && result != Z_BUF_ERROR)
            return damage(stream.msg ? stream.msg : "the compressed stream is not valid");
        // Z_BUF_ERROR: no progress without more input. Otherwise, all input
        // taken with room left over: nothing is pending.
        if (result == Z_BUF_ERROR || (stream.avail_in == 0 && stream.avail_out > 0)) return true;
    }
}

bool StoredDecoder::flush() {
    if (outUsed_ == 0) return true;
    size_t size = outUsed_;
    outUsed_ = 0;
    if (sink_(out_.get(), size)) return true;
    failed_ = true;
    return false;
}

bool StoredDecoder::damage(const std::string& reason) {
    failed_ = true;
    damaged_ = true;
    reason_ = reason;
    return false;
}
