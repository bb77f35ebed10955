#include "job/storage/data_headers.h"

#include <climits>
#include <cstring>
#include <new>

#include "job/storage/received_name.h"
#include "job/stores/crypt_buffers.h"

namespace {

void put16(unsigned char* at, uint16_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}
void put32(unsigned char* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}
void put64(unsigned char* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}
uint16_t get16(const unsigned char* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
uint32_t get32(const unsigned char* at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}
uint64_t get64(const unsigned char* at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

FILETIME filetime(uint64_t value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

bool fail(DWORD code) {
    SetLastError(code);
    return false;
}

// One body part of the given pieces, as the invoker sends its body.
bool send_part(HTTP_Invoker& invoker, const iovec* parts, int count) {
    int state = invoker.state();
    if (state != HTTP_Invoker::STATE_HEAD_SENT && state != HTTP_Invoker::STATE_SENDING_BODY)
        return fail(ERROR_INVALID_FUNCTION);  // no request body is being sent
    int sent =
        invoker.chunked() ? invoker.send_chunk_v(parts, count) : invoker.send_body_v(parts, count);
    return sent >= 0;  // the invoker has set the last error
}

// The file head: the offsets of its fields.
namespace file {
constexpr size_t kLength = 0, kTag = 4, kId = 8, kAttributes = 24, kSize = 28, kLastWrite = 36,
                 kLastAccess = 44, kCreation = 52, kName = 60;
}
// The data head.
namespace data {
constexpr size_t kLength = 0, kTag = 4, kFlags = 8, kDataLength = 12, kCheck = 16,
                 kProcessedCheck = 20, kCompression = 24, kParameter = 26, kEncryption = 28,
                 kReserved = 30, kKey = 32;
}

// The attributes that a received file may be created with.
constexpr DWORD kCreatable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                             FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY;

std::unique_ptr<unsigned char[]> duplicate(const unsigned char* bytes, size_t length) {
    if (!bytes) return nullptr;
    std::unique_ptr<unsigned char[]> copy(new unsigned char[length]);
    std::memcpy(copy.get(), bytes, length);
    return copy;
}

}  // namespace

// ---- addresshead

void addresshead::init(unsigned char* at) {
    at_ = at;
    set_address_head(0, 0);
}
uint16_t addresshead::get_offset() const { return at_ ? get16(at_) : 0; }
uint16_t addresshead::get_length() const { return at_ ? get16(at_ + 2) : 0; }
void addresshead::set_address_head(uint16_t offset, uint16_t length) {
    if (!at_) return;
    put16(at_, offset);
    put16(at_ + 2, length);
}

// ---- chunkhead

scoped_handle chunkhead::m_hFile_;
WIN32_FILE_ATTRIBUTE_DATA chunkhead::m_wfad_ = {};
std::wstring chunkhead::s_target_;

bool chunkhead::handle_package(const unsigned char*, size_t) { return true; }
bool chunkhead::send_package(HTTP_Invoker&) { return true; }

void chunkhead::set_target_folder(const wchar_t* folder) { s_target_ = folder ? folder : L""; }

// ---- filehead

filehead::filehead(const filehead& other) { *this = other; }

filehead& filehead::operator=(const filehead& other) {
    if (this == &other) return *this;
    ownedHead_ = other.ownedHead_ ? duplicate(other.ownedHead_.get(), kHeadLength) : nullptr;
    head_ = ownedHead_ ? ownedHead_.get() : other.head_;
    name_ = other.name_;
    nameAddress_.set(head_ ? head_ + file::kName : nullptr);
    return *this;
}

void filehead::set(unsigned char* head) {
    ownedHead_.reset();
    head_ = head;
    nameAddress_.set(head ? head + file::kName : nullptr);
}

bool filehead::init() {
    std::unique_ptr<unsigned char[]> head(new (std::nothrow) unsigned char[kHeadLength]());
    if (!head) return fail(ERROR_NOT_ENOUGH_MEMORY);
    UUID id;
    if (UuidCreate(&id) != RPC_S_OK) return fail(ERROR_NOT_ENOUGH_MEMORY);
    put32(head.get() + file::kId, id.Data1);
    put16(head.get() + file::kId + 4, id.Data2);
    put16(head.get() + file::kId + 6, id.Data3);
    std::memcpy(head.get() + file::kId + 8, id.Data4, sizeof id.Data4);
    put32(head.get() + file::kTag, kTag);
    ownedHead_ = std::move(head);
    head_ = ownedHead_.get();
    nameAddress_.init(head_ + file::kName);
    name_.clear();
    return true;
}

bool filehead::set(DWORD attributes, uint64_t size, uint64_t lastWrite, uint64_t lastAccess,
                   uint64_t creation, const char* name, size_t nameLength) {
    if (!head_ || nameLength > 0xFFFF || (!name && nameLength))
        return fail(ERROR_INVALID_PARAMETER);
    put32(head_ + file::kAttributes, attributes);
    put64(head_ + file::kSize, size);
    put64(head_ + file::kLastWrite, lastWrite);
    put64(head_ + file::kLastAccess, lastAccess);
    put64(head_ + file::kCreation, creation);
    name_.assign(name, name + nameLength);
    nameAddress_.set_address_head(static_cast<uint16_t>(kHeadLength),
                                  static_cast<uint16_t>(nameLength));
    return true;
}

bool filehead::send_package(HTTP_Invoker& invoker) {
    if (!head_) return fail(ERROR_INVALID_PARAMETER);
    put32(head_ + file::kLength, static_cast<uint32_t>(kHeadLength + name_.size()));
    put32(head_ + file::kTag, kTag);
    iovec parts[] = {http_iovec(head_, kHeadLength), http_iovec(name_.data(), name_.size())};
    return send_part(invoker, parts, name_.empty() ? 1 : 2);
}

bool filehead::handle_package(const unsigned char* package, size_t size) {
    if (!package || size < kHeadLength) return fail(ERROR_INVALID_DATA);
    size_t length = get32(package + file::kLength);
    if (length < kHeadLength || length > size || get32(package + file::kTag) != kTag)
        return fail(ERROR_INVALID_DATA);
    size_t nameOffset = get16(package + file::kName);
    size_t nameLength = get16(package + file::kName + 2);
    if (nameOffset < kHeadLength || nameOffset > length || nameLength > length - nameOffset)
        return fail(ERROR_INVALID_DATA);
    std::wstring path;
    if (!received_path(s_target_, reinterpret_cast<const char*>(package + nameOffset), nameLength,
                       path))
        return fail(ERROR_INVALID_NAME);

    close_received_file();
    m_wfad_ = WIN32_FILE_ATTRIBUTE_DATA{};
    DWORD attributes = get32(package + file::kAttributes);
    if (attributes == FILE_ATTRIBUTE_DIRECTORY) {
        if (CreateDirectoryW(path.c_str(), nullptr)) return true;
        DWORD error = GetLastError();
        DWORD existing = GetFileAttributesW(path.c_str());
        if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) &&
            !(existing & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
        return fail(error);
    }
    uint64_t fileSize = get64(package + file::kSize);
    m_wfad_.dwFileAttributes = attributes;
    m_wfad_.nFileSizeHigh = static_cast<DWORD>(fileSize >> 32);
    m_wfad_.nFileSizeLow = static_cast<DWORD>(fileSize);
    m_wfad_.ftLastWriteTime = filetime(get64(package + file::kLastWrite));
    m_wfad_.ftLastAccessTime = filetime(get64(package + file::kLastAccess));
    m_wfad_.ftCreationTime = filetime(get64(package + file::kCreation));
    DWORD creatable = attributes & kCreatable;
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                creatable ? creatable : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    m_hFile_.reset(handle);
    return true;
}

void filehead::uninit() {
    ownedHead_.reset();
    head_ = nullptr;
    name_.clear();
    nameAddress_.set(nullptr);
}

// ---- datahead

char datahead::m_data_key_[36] = {};
size_t datahead::m_key_length = 0;

datahead::datahead() : data_(new unsigned char[kInitialCapacity]), capacity_(kInitialCapacity) {}

datahead::datahead(const datahead& other) { *this = other; }

datahead& datahead::operator=(const datahead& other) {
    if (this == &other) return *this;
    ownedHead_ = other.ownedHead_ ? duplicate(other.ownedHead_.get(), kHeadLength) : nullptr;
    head_ = ownedHead_ ? ownedHead_.get() : other.head_;
    data_ = duplicate(other.data_.get(), static_cast<size_t>(other.capacity_));
    dataLength_ = other.dataLength_;
    capacity_ = other.capacity_;
    processed_ = other.processed_;
    encoded_ = other.encoded_;
    std::memcpy(keyMaterial_, other.keyMaterial_, sizeof keyMaterial_);
    keyAddress_.set(head_ ? head_ + data::kKey : nullptr);
    return *this;
}

void datahead::set(unsigned char* head) {
    ownedHead_.reset();
    head_ = head;
    keyAddress_.set(head ? head + data::kKey : nullptr);
    encoded_ = false;
    if (!head) return;
    put32(head + data::kLength, 0);
    put32(head + data::kTag, 0);
    keyAddress_.set_address_head(0, 0);
}

bool datahead::init() {
    std::unique_ptr<unsigned char[]> head(new (std::nothrow) unsigned char[kHeadLength]());
    if (!head) return fail(ERROR_NOT_ENOUGH_MEMORY);
    ownedHead_ = std::move(head);
    head_ = ownedHead_.get();
    put32(head_ + data::kTag, kTag);
    keyAddress_.set(head_ + data::kKey);
    keyAddress_.set_address_head(static_cast<uint16_t>(kHeadLength), 0);
    encoded_ = false;
    return true;
}

void datahead::reset() {
    encoded_ = false;
    processed_.clear();
    dataLength_ = 0;
    if (!head_) return;
    put32(head_ + data::kFlags, 0);
    put32(head_ + data::kDataLength, 0);
    put32(head_ + data::kCheck, 0);
    put32(head_ + data::kProcessedCheck, 0);
    head_[data::kReserved] = 0;
    head_[data::kReserved + 1] = 0;
}

void datahead::uninit() {
    ownedHead_.reset();
    head_ = nullptr;
    keyAddress_.set(nullptr);
    encoded_ = false;
}

bool datahead::set_data_end() {
    if (!head_) return fail(ERROR_INVALID_PARAMETER);
    put32(head_ + data::kFlags, get32(head_ + data::kFlags) | 1u);
    return true;
}

bool datahead::set_data_length(uint32_t length) {
    if (!head_) return fail(ERROR_INVALID_PARAMETER);
    put32(head_ + data::kDataLength, length);
    return true;
}

bool datahead::set_data_check(uint32_t check) {
    if (!head_) return fail(ERROR_INVALID_PARAMETER);
    put32(head_ + data::kCheck, check);
    return true;
}

bool datahead::set_data_processed_check(uint32_t check) {
    if (!head_) return fail(ERROR_INVALID_PARAMETER);
    put32(head_ + data::kProcessedCheck, check);
    return true;
}

bool datahead::set_data_check_algo(uint32_t algo) {
    if (!head_ || algo > 2) return fail(ERROR_INVALID_PARAMETER);
    put32(head_ + data::kFlags, (get32(head_ + data::kFlags) & ~6u) | (algo << 1));
    return true;
}

bool datahead::set_compress(uint16_t type, uint16_t parameter) {
    if (!head_ || type > 4) return fail(ERROR_INVALID_PARAMETER);
    put16(head_ + data::kCompression, type);
    put16(head_ + data::kParameter, type ? parameter : 0);
    encoded_ = false;
    return true;
}

bool datahead::set_encrypt(uint16_t type, uint16_t keyLength, const unsigned char* key) {
    if (!head_ || type > 3) return fail(ERROR_INVALID_PARAMETER);
    if (type != 0 && (keyLength > kBlockSize || (!key && keyLength)))
        return fail(ERROR_INVALID_PARAMETER);
    put16(head_ + data::kEncryption, type);
    std::memset(keyMaterial_, 0, sizeof keyMaterial_);
    if (type == 0) {
        keyAddress_.set_address_head(static_cast<uint16_t>(kHeadLength), 0);
    } else {
        if (keyLength) std::memcpy(keyMaterial_, key, keyLength);
        keyAddress_.set_address_head(static_cast<uint16_t>(kHeadLength), keyLength);
    }
    encoded_ = false;
    return true;
}

bool datahead::set_data_content(const void* content, size_t length) {
    if (!head_ || length > INT_MAX || (!content && length)) return fail(ERROR_INVALID_PARAMETER);
    uint64_t needed = (length / kBlockSize + 1) * kBlockSize;
    if (capacity_ < needed) {
        std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[needed]);
        if (!grown) return fail(ERROR_NOT_ENOUGH_MEMORY);
        data_ = std::move(grown);
        capacity_ = needed;
    }
    if (length) std::memcpy(data_.get(), content, length);
    dataLength_ = length;
    put32(head_ + data::kDataLength, static_cast<uint32_t>(length));
    encoded_ = false;
    return true;
}

bool datahead::set_key(const char* key, size_t keyLength) {
    if (!key || (keyLength != 16 && keyLength != 24 && keyLength != 32))
        return fail(ERROR_INVALID_PARAMETER);
    size_t text = strnlen(key, sizeof m_data_key_);
    if (text >= sizeof m_data_key_ || text < keyLength) return fail(ERROR_INVALID_PARAMETER);
    std::memset(m_data_key_, 0, sizeof m_data_key_);
    std::memcpy(m_data_key_, key, text);
    m_key_length = keyLength;
    return true;
}

void datahead::clear_key() {
    std::memset(m_data_key_, 0, sizeof m_data_key_);
    m_key_length = 0;
}

bool datahead::encode() {
    processed_.clear();
    uint16_t encryption = get16(head_ + data::kEncryption);
    if (encryption == 0) {
        processed_.assign(data_.get(), data_.get() + dataLength_);
        return true;
    }
    if (m_key_length == 0) return fail(ERROR_INVALID_PARAMETER);
    auto key = reinterpret_cast<const unsigned char*>(m_data_key_);
    int keyLength = static_cast<int>(m_key_length);
    int length = static_cast<int>(dataLength_);
    int made = 0;
    if (get16(head_ + data::kCompression) == 2) {
        // Room for incompressible data: zlib's own bound and one block of padding.
        processed_.resize(dataLength_ + dataLength_ / 256 + 64 + kBlockSize);
        made = aes_encrypt_compressed(key, keyLength, keyMaterial_, data_.get(), length,
                                      processed_.data(), static_cast<unsigned>(processed_.size()));
        if (made <= 0) set_compress(0, 0);
    }
    if (made <= 0) {
        processed_.resize((dataLength_ / kBlockSize + 1) * kBlockSize);
        made = aes_encrypt(key, keyLength, keyMaterial_, data_.get(), length, processed_.data(),
                           static_cast<unsigned>(processed_.size()));
    }
    if (made <= 0) {
        processed_.clear();
        return fail(ERROR_INVALID_DATA);  // never the clear data under an encryption type
    }
    processed_.resize(static_cast<size_t>(made));
    return true;
}

bool datahead::send_package(HTTP_Invoker& invoker) {
    if (!head_ || keyAddress_.get_offset() != kHeadLength) return fail(ERROR_INVALID_PARAMETER);
    if (!encoded_) {
        if (!encode()) return false;
        encoded_ = true;
    }
    size_t keyLength = keyAddress_.get_length();
    uint64_t length = kHeadLength + keyLength + processed_.size();
    if (length > UINT32_MAX) return fail(ERROR_INVALID_PARAMETER);
    put32(head_ + data::kLength, static_cast<uint32_t>(length));
    put32(head_ + data::kTag, kTag);
    iovec parts[3];
    int count = 0;
    parts[count++] = http_iovec(head_, kHeadLength);
    if (keyLength) parts[count++] = http_iovec(keyMaterial_, keyLength);
    if (!processed_.empty()) parts[count++] = http_iovec(processed_.data(), processed_.size());
    return send_part(invoker, parts, count);
}

bool datahead::handle_package(const unsigned char* package, size_t size) {
    if (!package || size < kHeadLength) return fail(ERROR_INVALID_DATA);
    size_t length = get32(package + data::kLength);
    if (length < kHeadLength || length > size || get32(package + data::kTag) != kTag)
        return fail(ERROR_INVALID_DATA);
    uint32_t flags = get32(package + data::kFlags);
    uint32_t dataLength = get32(package + data::kDataLength);
    uint16_t compression = get16(package + data::kCompression);
    uint16_t encryption = get16(package + data::kEncryption);
    size_t keyOffset = get16(package + data::kKey);
    size_t keyLength = get16(package + data::kKey + 2);
    if (((flags >> 1) & 3u) > 2 || compression > 4 || encryption > 3 || dataLength > kMaxDataLength)
        return fail(ERROR_INVALID_DATA);
    if (keyOffset < kHeadLength || keyOffset > length || keyLength > length - keyOffset)
        return fail(ERROR_INVALID_DATA);
    const unsigned char* processed = package + keyOffset + keyLength;
    size_t processedLength = length - keyOffset - keyLength;
    if (!m_hFile_.valid()) return fail(ERROR_INVALID_HANDLE);

    std::vector<unsigned char> decoded;
    const unsigned char* out = processed;
    if (encryption == 0) {
        if (processedLength != dataLength) return fail(ERROR_INVALID_DATA);
    } else {
        // Without compression the clear data is shorter than its encryption.
        if (m_key_length == 0 || keyLength > kBlockSize || processedLength > INT_MAX ||
            (compression != 2 && dataLength > processedLength))
            return fail(ERROR_INVALID_DATA);
        unsigned char iv[kBlockSize] = {};
        std::memcpy(iv, package + keyOffset, keyLength);
        auto key = reinterpret_cast<const unsigned char*>(m_data_key_);
        // One byte of room beyond the data length, so that longer data shows.
        decoded.resize(size_t{dataLength} + 1);
        int made = compression == 2
                       ? aes_decrypt_compressed(key, static_cast<int>(m_key_length), iv, processed,
                                                static_cast<int>(processedLength), decoded.data(),
                                                static_cast<unsigned>(decoded.size()))
                       : aes_decrypt(key, static_cast<int>(m_key_length), iv, processed,
                                     static_cast<int>(processedLength), decoded.data(),
                                     static_cast<unsigned>(decoded.size()));
        if (made < 0 || static_cast<uint32_t>(made) != dataLength) return fail(ERROR_INVALID_DATA);
        out = decoded.data();
    }
    DWORD written = 0;
    if (dataLength && !WriteFile(m_hFile_.get(), out, dataLength, &written, nullptr)) return false;
    if (flags & 1u) {
        BOOL timed = SetFileTime(m_hFile_.get(), &m_wfad_.ftCreationTime, &m_wfad_.ftLastAccessTime,
                                 &m_wfad_.ftLastWriteTime);
        DWORD error = GetLastError();
        m_hFile_.close();
        if (!timed) return fail(error);
    }
    return true;
}
