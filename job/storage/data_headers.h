// The package heads of stored files: a file travels on an HTTP connection as
// one file package (its name, attributes, times and size) and then data
// packages (blocks of its content, each encrypted and possibly compressed,
// the last one marked as the end). The sender fills a head and sends it, with
// what follows it, as one body part; the receiver hands each package to the
// matching head's handle_package, which recreates the folder or the file
// below the receiving folder, writes the decoded data and, at the end, gives
// the file its times. Nothing in the agent calls these yet.
//
// All numbers are little-endian and read and written byte by byte.
//
// File package: a head of 64 bytes, then the name.
//   0 u32 package length (64 + name length)   4 u32 tag 0x57484452
//   8 16 bytes identifier (a fresh UUID)      24 u32 file attributes (exactly
//   0x10: a folder)  28 u64 size  36 u64 last-write, 44 u64 last-access,
//   52 u64 creation time (FILETIMEs)          60 name address (u16 offset 64,
//   u16 length)  64 the path, UTF-8, no terminator, relative to the
//   receiving folder.
// Data package: a head of 36 bytes, then the key material, then the data.
//   0 u32 package length (key offset + key length + processed length)
//   4 u32 tag 0x44415441  8 u32 flags: bit 0 the last package of the file,
//   bits 1-2 the check algorithm (0-2)  12 u32 data length (before
//   processing)  16 u32 data check  20 u32 processed data check
//   24 u16 compression type (0-4; 2: compressed with the encryption)
//   26 u16 compression parameter  28 u16 encryption type (0 none, 1-3 AES)
//   30, 31 reserved 0  32 key address (u16 offset 36, u16 length)
//   36 the key material (the IV of the encryption, at most 16 bytes) and
//   after it the processed data. Without encryption the data goes as it is.
//
// One file is received at a time per process: the file package opens it,
// the data packages write to it, the last one closes it. The heads and their
// shared state (the file being received, the receiving folder, the data key)
// belong to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The HTTP client brings ACE, whose headers must come before the platform layer's.
#include "wirekit/http_invoker.h"
//
#include "common/holders.h"
#include "platform/win32.h"

// The offset and length of a part of a package, from its first byte.
struct chunk_address {
    uint16_t offset;
    uint16_t length;
};

// A view of the four bytes of an address inside a head (which it does not own).
class addresshead {
public:
    // Points at the address and sets offset and length to 0.
    void init(unsigned char* at);
    // Points at the address as it stands.
    void set(unsigned char* at) { at_ = at; }
    uint16_t get_offset() const;
    uint16_t get_length() const;
    chunk_address get() const { return chunk_address{get_offset(), get_length()}; }
    void set_address_head(uint16_t offset, uint16_t length);
    // *out = base + offset.
    void get_content(unsigned char* base, unsigned char** out) const { *out = base + get_offset(); }
    bool attached() const { return at_ != nullptr; }

private:
    unsigned char* at_ = nullptr;
};

class chunkhead {
public:
    virtual ~chunkhead() = default;

    // Receives one package: the first "package length" bytes at package, of
    // which size bytes were received. False (last error set) for a package
    // that is cut short, whose offsets or lengths leave it, or that cannot
    // be written. The base receives nothing and returns true.
    virtual bool handle_package(const unsigned char* package, size_t size);
    // Sends the package as one body part: one chunk when the invoker sends
    // a chunked body, else body bytes. False when it could not be sent. The
    // base sends nothing and returns true.
    virtual bool send_package(HTTP_Invoker& invoker);

    // The folder (a Windows path) below which received names are made; null
    // or empty: none, and then nothing is received.
    static void set_target_folder(const wchar_t* folder);
    static const std::wstring& target_folder() { return s_target_; }
    // Closes the file being received, if any, without giving it its times.
    static void close_received_file() { m_hFile_.close(); }

protected:
    static scoped_handle m_hFile_;             // the file being received
    static WIN32_FILE_ATTRIBUTE_DATA m_wfad_;  // its attributes, size and times
    static std::wstring s_target_;
};

class filehead : public chunkhead {
public:
    static constexpr size_t kHeadLength = 64;
    static constexpr uint32_t kTag = 0x57484452;

    filehead() = default;
    // Attaches to a head of 64 bytes that the caller owns, unchanged.
    explicit filehead(unsigned char* head) { set(head); }
    // Copies own their own duplicates of the owned buffers.
    filehead(const filehead& other);
    filehead& operator=(const filehead& other);
    ~filehead() override = default;

    void set(unsigned char* head);
    // Makes an owned head: length 0, the tag, a fresh identifier, everything
    // else 0. False (8) when no memory or no UUID can be had.
    bool init();
    // Fills the attributes, size, times and the name (copied). False, the
    // head unchanged, without a head, for a name over 65535 bytes, or a null
    // name with a length.
    bool set(DWORD attributes, uint64_t size, uint64_t lastWrite, uint64_t lastAccess,
             uint64_t creation, const char* name, size_t nameLength);
    size_t get_head_length() const { return kHeadLength; }
    // Writes the package length and the tag, then sends the head and the name.
    bool send_package(HTTP_Invoker& invoker) override;
    // Makes the folder (attributes exactly 0x10; an existing folder is no
    // failure) or creates the file anew, truncating an older one, with the
    // received attributes (only the plain file attributes are passed on) and
    // keeps it open for the data packages. A file left open by an earlier
    // package is closed first. The name must pass received_path below the
    // target folder (123 otherwise).
    bool handle_package(const unsigned char* package, size_t size) override;
    // Frees the owned buffers and detaches.
    void uninit();

    const unsigned char* head() const { return head_; }

private:
    std::unique_ptr<unsigned char[]> ownedHead_;
    unsigned char* head_ = nullptr;  // ownedHead_, or the caller's
    std::vector<unsigned char> name_;
    addresshead nameAddress_;
};

class datahead : public chunkhead {
public:
    static constexpr size_t kHeadLength = 36;
    static constexpr uint32_t kTag = 0x44415441;
    static constexpr size_t kBlockSize = 16;
    static constexpr size_t kInitialCapacity = 65552;
    // The largest data length a received package may give.
    static constexpr uint32_t kMaxDataLength = 64u << 20;

    // Throws std::bad_alloc when the data buffer cannot be made.
    datahead();
    explicit datahead(unsigned char* head) : datahead() { set(head); }
    datahead(const datahead& other);
    datahead& operator=(const datahead& other);
    ~datahead() override = default;

    // Attaches to a head of 36 bytes that the caller owns, and clears its
    // length, tag and key address.
    void set(unsigned char* head);
    // Makes an owned head: length 0, the tag, the key address at 36 with
    // length 0, everything else 0. False (8) without memory.
    bool init();
    // Clears flags, data length, both checks and the reserved bytes, and the data.
    void reset();
    void uninit();

    // Setters: false, the head unchanged, without a head or for values
    // outside their range.
    bool set_data_end();
    bool set_data_length(uint32_t length);
    bool set_data_check(uint32_t check);
    bool set_data_processed_check(uint32_t check);
    // Replaces bits 1-2 of the flags with algo (0-2).
    bool set_data_check_algo(uint32_t algo);
    // type 0 clears type and parameter; 1-4 are kept.
    bool set_compress(uint16_t type, uint16_t parameter);
    // type 0: no key material; 1-3: keyLength (at most 16) bytes of key
    // material, the IV of the encryption (zero-padded to 16 bytes).
    bool set_encrypt(uint16_t type, uint16_t keyLength, const unsigned char* key);
    // Copies the block to send (at most 2^31 - 1 bytes) and sets the data
    // length; the buffer grows to (length / 16 + 1) * 16 when smaller.
    bool set_data_content(const void* data, size_t length);
    size_t get_head_length() const { return kHeadLength; }
    uint64_t capacity() const { return capacity_; }

    // Encodes the data once (a later send resends the same bytes), writes the
    // package length and the tag, and sends head, key material and processed
    // data. False, nothing sent, when encryption gives no output or no data
    // key is set under an encryption type; a compressed encryption that gives
    // none falls back to compression type 0.
    bool send_package(HTTP_Invoker& invoker) override;
    // Decodes the data (to exactly its data length: 13 otherwise, nothing
    // written) and writes it to the file being received (6 when none is
    // open); the last package gives the file its times and closes it.
    bool handle_package(const unsigned char* package, size_t size) override;

    // The data key: the first keyLength characters of a text of at most 35
    // characters; keyLength 16, 24 or 32 (AES-128, -192, -256). False, the
    // key unchanged, otherwise.
    static bool set_key(const char* key, size_t keyLength);
    static void clear_key();

    const unsigned char* head() const { return head_; }

private:
    bool encode();

    std::unique_ptr<unsigned char[]> ownedHead_;
    unsigned char* head_ = nullptr;
    std::unique_ptr<unsigned char[]> data_;
    uint64_t dataLength_ = 0;
    uint64_t capacity_ = 0;
    std::vector<unsigned char> processed_;
    bool encoded_ = false;
    unsigned char keyMaterial_[kBlockSize] = {};
    addresshead keyAddress_;

    static char m_data_key_[36];
    static size_t m_key_length;
};
