#include "job/stores/crypt_buffers.h"

#include <openssl/buffer.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "job/stores/bio_chain.h"

namespace {

using bytes = std::vector<unsigned char>;

enum class cipher_result { done, bad_arguments, failed };

const EVP_CIPHER* aes_cbc(int keyLen) {
    switch (keyLen) {
        case 16:
            return EVP_aes_128_cbc();
        case 24:
            return EVP_aes_192_cbc();
        case 32:
            return EVP_aes_256_cbc();
        default:
            return nullptr;
    }
}

bool valid_input(const void* in, int inLen) { return inLen >= 0 && (in || inLen == 0); }

// Writes all of in through the chain's top and flushes it.
bool write_all(BIO* chain, const unsigned char* in, size_t length) {
    while (length > 0) {
        int chunk = length > INT_MAX ? INT_MAX : static_cast<int>(length);
        int written = BIO_write(chain, in, chunk);
        if (written <= 0) return false;
        in += written;
        length -= static_cast<size_t>(written);
    }
    return BIO_flush(chain) > 0;
}

bool take_memory(BIO* sink, bytes& out) {
    BUF_MEM* memory = nullptr;
    if (BIO_get_mem_ptr(sink, &memory) <= 0 || !memory) return false;
    out.assign(memory->data, memory->data + memory->length);
    return true;
}

// Runs in through an AES filter (encrypt or decrypt) into a memory sink.
cipher_result run_cipher(bool encrypt, const unsigned char* key, int keyLen,
                         const unsigned char* iv, const void* in, size_t inLen, bytes& out) {
    const EVP_CIPHER* cipher = aes_cbc(keyLen);
    if (!cipher || !key || !iv) return cipher_result::bad_arguments;
    BIO* sink = BIO_new(BIO_s_mem());
    bio_chain chain = bio_push_filter(BIO_new(BIO_f_cipher()), bio_chain(sink));
    if (!chain || !BIO_set_cipher(chain.get(), cipher, key, iv, encrypt ? 1 : 0))
        return cipher_result::failed;
    // The flush runs the final block: for a decryption, the padding check.
    if (!write_all(chain.get(), static_cast<const unsigned char*>(in), inLen) ||
        BIO_get_cipher_status(chain.get()) != 1 || !take_memory(sink, out))
        return cipher_result::failed;
    return cipher_result::done;
}

int deliver(const bytes& result, void* out, unsigned outSize) {
    if (result.size() > outSize || result.size() > INT_MAX) return -1;
    if (!result.empty()) std::memcpy(out, result.data(), result.size());
    return static_cast<int>(result.size());
}

int aes(bool encrypt, const unsigned char* key, int keyLen, const unsigned char* iv, const void* in,
        int inLen, void* out, unsigned outSize) {
    if (!valid_input(in, inLen)) return 0;
    bytes result;
    cipher_result ran =
        run_cipher(encrypt, key, keyLen, iv, in, static_cast<size_t>(inLen), result);
    if (ran != cipher_result::done) return ran == cipher_result::bad_arguments ? 0 : -2;
    return deliver(result, out, outSize);
}

bool compress_all(const void* in, int inLen, bytes& out) {
    uLongf room = compressBound(static_cast<uLong>(inLen));
    out.resize(room);
    if (compress2(out.data(), &room, static_cast<const Bytef*>(in), static_cast<uLong>(inLen),
                  Z_DEFAULT_COMPRESSION) != Z_OK)
        return false;
    out.resize(room);
    return true;
}

// Inflates one whole zlib stream into out: its length, -1 when it does not
// fit, -2 for anything but exactly one whole stream.
int decompress_all(const bytes& in, void* out, unsigned outSize) {
    z_stream stream = {};
    if (inflateInit(&stream) != Z_OK) return -2;
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    unsigned char spare;  // room for a zero-length out, so that inflate can run
    stream.next_out = outSize ? static_cast<Bytef*>(out) : &spare;
    stream.avail_out = outSize ? outSize : 0;
    int status = inflate(&stream, Z_FINISH);
    uLong produced = stream.total_out;
    bool consumed = stream.avail_in == 0;
    bool full = stream.avail_out == 0;
    inflateEnd(&stream);
    if (status == Z_STREAM_END)
        return !consumed ? -2 : produced > INT_MAX ? -1 : static_cast<int>(produced);
    return full ? -1 : -2;
}

}  // namespace

int crypt_output_size(int n, int* out, int mode, bool enabled) {
    if (!enabled || n < 0) return 0;
    int64_t size;
    if (mode == 1)
        size = (int64_t{n} / 16 + 1) * 16;
    else if (mode == 2)
        size = ((int64_t{n} - 1) / 3) * 4 + 5;
    else
        return 0;
    if (size > INT_MAX) return 0;
    if (out) *out = static_cast<int>(size);
    return static_cast<int>(size);
}

int aes_encrypt(const unsigned char* key, int keyLen, const unsigned char* iv, const void* in,
                int inLen, void* out, unsigned outSize) {
    return aes(true, key, keyLen, iv, in, inLen, out, outSize);
}

int aes_decrypt(const unsigned char* key, int keyLen, const unsigned char* iv, const void* in,
                int inLen, void* out, unsigned outSize) {
    return aes(false, key, keyLen, iv, in, inLen, out, outSize);
}

int aes_encrypt_compressed(const unsigned char* key, int keyLen, const unsigned char* iv,
                           const void* in, int inLen, void* out, unsigned outSize) {
    if (!valid_input(in, inLen) || !aes_cbc(keyLen) || !key || !iv) return 0;
    bytes compressed;
    if (!compress_all(in, inLen, compressed) || compressed.size() > INT_MAX) return 0;
    return aes_encrypt(key, keyLen, iv, compressed.data(), static_cast<int>(compressed.size()), out,
                       outSize);
}

int aes_decrypt_compressed(const unsigned char* key, int keyLen, const unsigned char* iv,
                           const void* in, int inLen, void* out, unsigned outSize) {
    if (!valid_input(in, inLen)) return 0;
    bytes compressed;
    cipher_result ran =
        run_cipher(false, key, keyLen, iv, in, static_cast<size_t>(inLen), compressed);
    if (ran != cipher_result::done) return ran == cipher_result::bad_arguments ? 0 : -2;
    return decompress_all(compressed, out, outSize);
}

int base64_encode(const void* in, int inLen, char* out, int* outLen) {
    if (!in || !out || !outLen || inLen < 0) return -1;
    BIO* sink = BIO_new(BIO_s_mem());
    bio_chain chain = bio_push_filter(BIO_new(BIO_f_base64()), bio_chain(sink));
    if (!chain) return -1;
    BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
    bytes text;
    if (!write_all(chain.get(), static_cast<const unsigned char*>(in),
                   static_cast<size_t>(inLen)) ||
        !take_memory(sink, text) || text.size() >= INT_MAX)
        return -1;
    int length = static_cast<int>(text.size());
    if (length + 1 > *outLen) {
        *outLen = length + 1;
        return -2;
    }
    if (length > 0) std::memcpy(out, text.data(), text.size());
    out[length] = '\0';
    *outLen = length;
    return length;
}

int base64_decode(const char* in, int inLen, void* out, int* outLen) {
    if (!in || !out || !outLen || inLen < 0) return -1;
    bio_chain chain =
        bio_push_filter(BIO_new(BIO_f_base64()), bio_chain(BIO_new_mem_buf(in, inLen)));
    if (!chain) return -1;
    BIO_set_flags(chain.get(), BIO_FLAGS_BASE64_NO_NL);
    auto* target = static_cast<unsigned char*>(out);
    int total = 0;
    while (total < *outLen) {
        int read = BIO_read(chain.get(), target + total, *outLen - total);
        if (read <= 0) break;
        total += read;
    }
    *outLen = total;
    return total;
}
