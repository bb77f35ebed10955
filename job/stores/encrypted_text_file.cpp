// Encrypted text files: reading and writing them under the global key.
#include <openssl/crypto.h>

#include <climits>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "common/ace_log_wrapper.h"
#include "common/file_stream.h"
#include "common/replace_file.h"
#include "common/text_conv.h"
#include "job/stores/crypt_buffers.h"
#include "job/stores/key_manager.h"
#include "job/stores/text_file_word.h"

namespace {

constexpr int kHalf = 16;

// The global key and IV, cleared when they go.
struct global_key_bytes {
    unsigned char key[kHalf] = {};
    unsigned char iv[kHalf] = {};
    ~global_key_bytes() {
        OPENSSL_cleanse(key, sizeof key);
        OPENSSL_cleanse(iv, sizeof iv);
    }
};

// A byte buffer that is cleared before its memory goes.
struct secret_buffer {
    explicit secret_buffer(size_t size) : bytes(size) {}
    ~secret_buffer() {
        if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    }
    std::vector<unsigned char> bytes;
};

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points beyond U+10FFFF).
bool is_utf8(const unsigned char* text, size_t length) {
    size_t i = 0;
    while (i < length) {
        unsigned char c = text[i];
        size_t extra;
        uint32_t point;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, point = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, point = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, point = c & 0x07;
        } else {
            return false;
        }
        if (length - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((text[i + k] & 0xC0) != 0x80) return false;
            point = (point << 6) | (text[i + k] & 0x3F);
        }
        static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (point < kLeast[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

bool KeyManagerImpl::encryptStringToTextFile(const wchar_t* path, const std::string& text) {
    if (!path || !*path) return false;
    std::string where = to_utf8(path, -1);
    global_key_bytes secret;
    if (!globalKey(secret.key, kHalf, secret.iv, kHalf)) return false;
    try {
        if (text.size() > INT_MAX - 2 * kHalf) throw std::length_error("the text is too long");
        int length = static_cast<int>(text.size());
        secret_buffer cipher(static_cast<size_t>(crypt_output_size(length, nullptr, 1, true)));
        int cipherLength =
            aes_encrypt(secret.key, kHalf, secret.iv, text.data(), length, cipher.bytes.data(),
                        static_cast<unsigned>(cipher.bytes.size()));
        if (cipherLength <= 0) throw std::runtime_error("the encryption gave no output");
        int room = crypt_output_size(cipherLength, nullptr, 2, true);
        if (room <= 0) throw std::length_error("the text is too long");
        std::string encoded(static_cast<size_t>(room), '\0');
        if (base64_encode(cipher.bytes.data(), cipherLength, encoded.data(), &room) < 0)
            throw std::runtime_error("the Base64 encoding failed");
        encoded.resize(static_cast<size_t>(room));
        bool opened = false;
        if (!replace_file(path, encoded, &opened, true)) {
            DWORD error = GetLastError();
            if (!opened)
                log_message(LM_ERROR, "Failed to open file \"%s\" for writing.\n", where.c_str());
            else
                log_message(LM_ERROR, "Failed to write the password content to \"%s\".\n",
                            where.c_str());
            SetLastError(error);
            return false;
        }
        return true;
    } catch (const std::exception& error) {
        log_message(LM_ERROR, "Failed to encrypt the content to \"%s\": %s.\n", where.c_str(),
                    error.what());
    }
    return false;
}

bool KeyManagerImpl::decryptStringFromTextFile(const wchar_t* path, std::string& text) {
    if (!path || !*path) return false;
    std::string where = to_utf8(path, -1);
    global_key_bytes secret;
    if (!globalKey(secret.key, kHalf, secret.iv, kHalf)) return false;
    try {
        win32_file_tistream<char> in(path, nullptr);
        if (!in) {
            log_message(LM_ERROR, "Failed to open file \"%s\" for reading.\n", where.c_str());
            return false;
        }
        std::string word;
        if (!read_first_word(in, kMaxTextFileWord, word))
            throw std::length_error("the file holds more than an encrypted text");
        int room = static_cast<int>(word.size());
        secret_buffer cipher(word.size());
        int cipherLength =
            base64_decode(word.data(), static_cast<int>(word.size()), cipher.bytes.data(), &room);
        secret_buffer plain(static_cast<size_t>(cipherLength > 0 ? cipherLength : 0) + 1);
        int plainLength =
            cipherLength < 0
                ? -2
                : aes_decrypt(secret.key, kHalf, secret.iv, cipher.bytes.data(), cipherLength,
                              plain.bytes.data(), static_cast<unsigned>(plain.bytes.size() - 1));
        if (plainLength < 0)
            throw std::runtime_error("the file is no encryption under the global key");
        plain.bytes[static_cast<size_t>(plainLength)] = 0;
        const char* start = reinterpret_cast<const char*>(plain.bytes.data());
        size_t length = std::char_traits<char>::length(start);
        // CBC carries no check of its own: a block damaged in the middle of
        // the file decrypts to noise, which is almost never UTF-8.
        if (!is_utf8(plain.bytes.data(), length))
            throw std::runtime_error("the file is no encryption of a text under the global key");
        text.assign(start, length);
        return true;
    } catch (const win32_read_error&) {
        log_message(LM_ERROR, "Failed to decrypt the content from \"%s\": %s.\n", where.c_str(),
                    "the file cannot be read");
    } catch (const std::exception& error) {
        log_message(LM_ERROR, "Failed to decrypt the content from \"%s\": %s.\n", where.c_str(),
                    error.what());
    }
    return false;
}
