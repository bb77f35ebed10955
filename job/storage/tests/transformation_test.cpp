// The backup and restore transformations on the test machine: round trips,
// the stored form as openssl and python3's zlib read it, stops, damaged data
// that must leave an existing target alone, attributes and times, and the
// failures with their codes and log lines.
#include "job/storage/transformation.h"

#include <cryptopp/aes.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/modes.h>
#include <cryptopp/zlib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "common/win32_error.h"
#include "job/storage/piece_deflate.h"
#include "job/tests/key_checks.h"
#include "job/tests/planted_form.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::python;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

using planted_form::kIvHex;
using planted_form::kKeyHex;
using planted_form::planted_stored_form;

constexpr size_t kTwoMiB = 2 * 1024 * 1024;

const wchar_t kSource[] = L"C:\\data\\source.bin";
const wchar_t kWork[] = L"C:\\data\\work";
const wchar_t kTarget[] = L"C:\\data\\restored.bin";

// Text that compresses well, n bytes long.
std::string text_of(size_t n) {
    std::string out;
    for (size_t line = 0; out.size() < n; ++line)
        out += "line " + std::to_string(line) + " of the plain text\n";
    out.resize(n);
    return out;
}

// Bytes that do not compress.
std::string noise_of(size_t n, unsigned seed = 7) {
    std::mt19937 random(seed);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
}

// The plaintext of a stored file as openssl decrypts it; "<failed>" when it
// refuses (bad padding, wrong length).
std::string openssl_plain(const std::wstring& stored) {
    std::string out = machine_root() + "/openssl-out";
    if (run_command("openssl enc -d -aes-128-cbc -K " + kKeyHex + " -iv " + kIvHex + " -in " +
                    shell_quote(host_of(stored)) + " -out " + shell_quote(out) + " 2>/dev/null") !=
        0)
        return "<failed>";
    return read_host_file(out);
}

// What python3's zlib makes of data (a zlib stream that must end exactly at
// its end): "<header hex> <first block type> <equal to expected>".
std::string zlib_view(const std::string& data, const std::string& expected) {
    std::string data_file = machine_root() + "/zlib-in", expected_file = machine_root() + "/plain";
    write_host_file(data_file, data);
    write_host_file(expected_file, expected);
    return python("import zlib\nd = open('" + data_file + "', 'rb').read()\n" +
                  "z = zlib.decompressobj(15)\nout = z.decompress(d)\n" +
                  "assert z.eof and z.unused_data == b''\n" +
                  "print(d[:2].hex(), (d[2] >> 1) & 3, out == open('" + expected_file +
                  "', 'rb').read())");
}

size_t padded(size_t n) { return (n / 16 + 1) * 16; }

bool backup(bool compress, const std::wstring& source = kSource, const std::wstring& target = kWork,
            interrupter* stop = nullptr) {
    BackupTransformation transformation(compress);
    return transformation.transform(source.c_str(), target.c_str(), nullptr, stop);
}

bool restore(bool decompress, const std::wstring& source = kWork,
             const std::wstring& target = kTarget,
             const WIN32_FILE_ATTRIBUTE_DATA* attributes = nullptr, interrupter* stop = nullptr) {
    RestoreTransformation transformation(decompress);
    return transformation.transform(source.c_str(), target.c_str(), attributes, stop);
}

// The names in the test's folder C:\data.
std::set<std::string> names_in_data() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(host_of(L"C:\\data")))
        names.insert(entry.path().filename().string());
    return names;
}

bool exists(const std::wstring& path) { return std::filesystem::exists(host_of(path)); }

std::string error_text(DWORD code) { return win32_error_text(code).text(); }

// Answers always the same and counts the questions.
class FixedInterrupter : public interrupter {
public:
    explicit FixedInterrupter(bool answer) : answer_(answer) {}
    bool interrupted() override {
        ++asked;
        return answer_;
    }
    int asked = 0;

private:
    bool answer_;
};

// A round trip of bytes, with the stored form read by openssl (and zlib).
void check_round_trip(const std::string& bytes, bool compress) {
    write_host_file(host_of(kSource), bytes);
    SetLastError(1234);
    ASSERT_TRUE(backup(compress)) << GetLastError();
    EXPECT_EQ(GetLastError(), 0u);

    std::string stored = read_host_file(host_of(kWork));
    std::string plain = openssl_plain(kWork);
    if (compress) {
        std::string view = zlib_view(plain, bytes);
        EXPECT_EQ(view.substr(0, 4), "789c");  // 32 KiB window, level 6
        EXPECT_EQ(view.substr(7), "True");
    } else {
        EXPECT_TRUE(plain == bytes) << "openssl gives " << plain.size() << " bytes";
    }
    EXPECT_EQ(stored.size(), padded(plain.size()));

    SetLastError(1234);
    ASSERT_TRUE(restore(compress)) << GetLastError();
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(read_host_file(host_of(kTarget)) == bytes);
    EXPECT_EQ(names_in_data(), (std::set<std::string>{"source.bin", "work", "restored.bin"}));
}

// Each case works in the folder C:\data of its fresh machine.
class InDataFolder : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_TRUE(CreateDirectoryW(L"C:\\data", nullptr));
    }
};
class TransformationRoundTrip : public InDataFolder {};
class TransformationStop : public InDataFolder {};
class TransformationDamage : public InDataFolder {};
class TransformationAttributes : public InDataFolder {};
class TransformationFailures : public InDataFolder {};
class TransformationAhead : public InDataFolder {};
class TransformationPieces : public InDataFolder {};

}  // namespace

TEST_F(TransformationRoundTrip, WithoutCompressionTheStoredFormIsThePaddedCipherText) {
    for (size_t n : {size_t{0}, size_t{15}, size_t{16}, size_t{17}, kTwoMiB + 1}) {
        SCOPED_TRACE(n);
        check_round_trip(text_of(n), false);
        EXPECT_EQ(read_host_file(host_of(kWork)).size(), padded(n));
    }
    EXPECT_EQ(logged(), "");
}

TEST_F(TransformationRoundTrip, WithCompressionTheStoredFormIsEncryptedZlib) {
    for (size_t n : {size_t{0}, size_t{15}, size_t{16}, size_t{17}, kTwoMiB + 1}) {
        SCOPED_TRACE(n);
        check_round_trip(text_of(n), true);
    }
    // Text compresses: 2 MiB of it is stored in far less.
    EXPECT_LT(read_host_file(host_of(kWork)).size(), kTwoMiB / 4);
    EXPECT_EQ(logged(), "");
}

// A small stored file is turned back in memory, up to 4 MiB of data; text
// that is stored in less but holds more (just as much, a byte more) comes
// back whole all the same, streamed.
TEST_F(TransformationRoundTrip, SmallStoredFilesOfMuchDataComeBackWhole) {
    const size_t kFourMiB = 4u << 20;
    for (size_t n : {kFourMiB - 1, kFourMiB, kFourMiB + 1, 3 * kFourMiB}) {
        SCOPED_TRACE(n);
        check_round_trip(text_of(n), true);
        EXPECT_LT(read_host_file(host_of(kWork)).size(), size_t{1} << 20);
    }
    EXPECT_EQ(logged(), "");
}

TEST_F(TransformationRoundTrip, IncompressibleDataIsStoredInZlibStoredBlocks) {
    std::string bytes = noise_of(kTwoMiB + 1);
    check_round_trip(bytes, false);
    check_round_trip(bytes, true);
    std::string plain = openssl_plain(kWork);
    // Still zlib, not raw; its blocks are stored ones (type 0), so that the
    // stream is hardly longer than the data.
    EXPECT_EQ(zlib_view(plain, bytes), "789c 0 True");
    EXPECT_LE(plain.size(), bytes.size() + 5 * (bytes.size() / 16384 + 1) + 6);
}

// The stored form as a chain of its own makes it, fresh for the one file and
// fed in small pieces: zlib at level 6 with a 32 KiB window and the test for
// data that does not compress, then AES-128-CBC with PKCS #7 padding.
std::string fresh_stored_form(const std::string& bytes, bool compress) {
    std::string key, iv, out;
    CryptoPP::StringSource(kKeyHex + kIvHex, true,
                           new CryptoPP::HexDecoder(new CryptoPP::StringSink(key)));
    iv = key.substr(16);
    CryptoPP::CBC_Mode<CryptoPP::AES>::Encryption cipher(
        reinterpret_cast<const CryptoPP::byte*>(key.data()), 16,
        reinterpret_cast<const CryptoPP::byte*>(iv.data()));
    auto* encrypt = new CryptoPP::StreamTransformationFilter(cipher, new CryptoPP::StringSink(out));
    CryptoPP::BufferedTransformation* first = encrypt;
    if (compress) first = new CryptoPP::ZlibCompressor(encrypt, 6, 15, true);
    std::unique_ptr<CryptoPP::BufferedTransformation> chain(first);
    for (size_t at = 0; at < bytes.size(); at += 8192)
        chain->Put(reinterpret_cast<const CryptoPP::byte*>(bytes.data() + at),
                   std::min<size_t>(8192, bytes.size() - at));
    chain->MessageEnd();
    return out;
}

// One transformation stores file after file, small ones in memory through
// one compressor and one cipher, each file's stored form the very bytes
// that a fresh chain makes of it alone: also after data that does not
// compress (which lowers the compressor's level for its own stream), after
// an empty file, at the edge of the in-memory size and past it.
TEST_F(TransformationRoundTrip, EveryFileIsStoredAsAChainOfItsOwnStoresIt) {
    const size_t edge = static_cast<size_t>(BackupTransformation::kInMemoryBytes);
    const std::vector<std::string> files = {
        noise_of(70000, 1), text_of(50000), "",
        noise_of(16, 2),    text_of(16),    noise_of(200000, 3),
        text_of(100),       text_of(edge),  noise_of(edge, 4),
        text_of(edge + 1),  text_of(33000), noise_of(edge + 5000, 5),
        text_of(7)};
    for (bool compress : {true, false}) {
        BackupTransformation transformation(compress);
        for (size_t i = 0; i < files.size(); ++i) {
            SCOPED_TRACE(std::to_string(i) + (compress ? " compressed" : " plain"));
            write_host_file(host_of(kSource), files[i]);
            ASSERT_TRUE(transformation.transform(kSource, kWork, nullptr, nullptr));
            EXPECT_EQ(transformation.sourceRead().size, files[i].size());
            EXPECT_TRUE(read_host_file(host_of(kWork)) == fresh_stored_form(files[i], compress));
        }
    }
    EXPECT_EQ(logged(), "");
}

// Asked to, a transformation leaves its target open for writing and hands
// the handle over once; otherwise it keeps none.
TEST_F(TransformationRoundTrip, AKeptTargetIsHandedOverOpen) {
    for (size_t size :
         {size_t{10}, static_cast<size_t>(BackupTransformation::kInMemoryBytes) + 1}) {
        SCOPED_TRACE(size);
        write_host_file(host_of(kSource), text_of(size));
        BackupTransformation transformation(true);
        ASSERT_TRUE(transformation.transform(kSource, kWork, nullptr, nullptr));
        EXPECT_EQ(transformation.takeTarget(), nullptr);
        transformation.keepTarget(true);
        ASSERT_TRUE(transformation.transform(kSource, kWork, nullptr, nullptr));
        HANDLE kept = transformation.takeTarget();
        ASSERT_NE(kept, nullptr);
        EXPECT_EQ(transformation.takeTarget(), nullptr);
        EXPECT_TRUE(FlushFileBuffers(kept));
        EXPECT_TRUE(CloseHandle(kept));
        EXPECT_EQ(zlib_view(openssl_plain(kWork), text_of(size)).substr(7), "True");
        // A failed transform keeps nothing.
        EXPECT_FALSE(transformation.transform(L"C:\\data\\missing", kWork, nullptr, nullptr));
        EXPECT_EQ(transformation.takeTarget(), nullptr);
    }
}

TEST_F(TransformationStop, AStopAfterTwoMiBFailsWith1223AndLeavesNoTarget) {
    write_host_file(host_of(kSource), noise_of(kTwoMiB + 1));
    for (bool compress : {false, true}) {
        SCOPED_TRACE(compress);
        FixedInterrupter stop(true);
        EXPECT_FALSE(backup(compress, kSource, kWork, &stop));
        EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
        EXPECT_EQ(stop.asked, 1);
        EXPECT_FALSE(exists(kWork));
        EXPECT_EQ(logged(),
                  "Failed to compress and encrypt C:\\data\\source.bin, user cancelled.\n");
    }
}

// A large file compressed in pieces on a pool is one zlib stream: python's
// zlib reads it to its exact end (after openssl decrypted it) and finds in
// it the empty stored block that ends every piece but the last; the restore
// gives the bytes back. Text and noise mixed, a file that ends on a piece's
// edge (its last piece is empty), and noise alone.
TEST_F(TransformationPieces, ALargeFileDeflatedInPiecesIsOneStreamThatEveryReaderReads) {
    const size_t piece = PieceDeflate::kPieceBytes;
    const std::vector<std::string> files = {
        text_of(piece) + noise_of(piece) + text_of(2 * piece + 1234), text_of(4 * piece),
        noise_of(kTwoMiB + 1)};
    AheadPool pool(3);
    for (const std::string& bytes : files) {
        SCOPED_TRACE(bytes.size());
        write_host_file(host_of(kSource), bytes);
        BackupTransformation transformation(true);
        transformation.compressOn(&pool);
        ASSERT_TRUE(transformation.transform(kSource, kWork, nullptr, nullptr)) << GetLastError();
        EXPECT_EQ(transformation.sourceRead().size, bytes.size());
        std::string plain = openssl_plain(kWork);
        std::string data_file = machine_root() + "/zlib-in";
        std::string expected_file = machine_root() + "/plain";
        write_host_file(data_file, plain);
        write_host_file(expected_file, bytes);
        EXPECT_EQ(python("import zlib\nd = open('" + data_file + "', 'rb').read()\n" +
                         "z = zlib.decompressobj(15)\nout = z.decompress(d)\n" +
                         "print(d[:2].hex(), z.eof and z.unused_data == b'', out == open('" +
                         expected_file + "', 'rb').read(), d.count(b'\\x00\\x00\\xff\\xff') >= " +
                         std::to_string(bytes.size() / piece) + ")"),
                  "789c True True True");
        // Not the stream made at once: the pieces' edges are in it.
        EXPECT_FALSE(read_host_file(host_of(kWork)) == fresh_stored_form(bytes, true));
        ASSERT_TRUE(restore(true)) << GetLastError();
        EXPECT_TRUE(read_host_file(host_of(kTarget)) == bytes);
    }
    // Text keeps its ratio: its pieces are primed with the data before them.
    write_host_file(host_of(kSource), text_of(4 * piece));
    BackupTransformation alone(true);
    ASSERT_TRUE(alone.transform(kSource, kWork, nullptr, nullptr));
    size_t once = read_host_file(host_of(kWork)).size();
    BackupTransformation pieces(true);
    pieces.compressOn(&pool);
    ASSERT_TRUE(pieces.transform(kSource, kWork, nullptr, nullptr));
    EXPECT_LT(read_host_file(host_of(kWork)).size(), once + once / 10);
    EXPECT_EQ(logged(), "");
}

// A stop is asked after every 2 MiB read, as the stream asks it, and leaves
// no target; the pieces out are waited for.
TEST_F(TransformationPieces, AStopAfterTwoMiBFailsWith1223AndLeavesNoTarget) {
    write_host_file(host_of(kSource), noise_of(kTwoMiB + 1));
    AheadPool pool(2);
    BackupTransformation transformation(true);
    transformation.compressOn(&pool);
    FixedInterrupter stop(true);
    EXPECT_FALSE(transformation.transform(kSource, kWork, nullptr, &stop));
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_EQ(stop.asked, 1);
    EXPECT_FALSE(exists(kWork));
    EXPECT_EQ(logged(), "Failed to compress and encrypt C:\\data\\source.bin, user cancelled.\n");
    FixedInterrupter go(false);
    EXPECT_TRUE(transformation.transform(kSource, kWork, nullptr, &go));
    EXPECT_EQ(go.asked, 1);
}

TEST_F(TransformationStop, AStoppedRestoreLeavesTheExistingTargetAndNoTemporary) {
    write_host_file(host_of(kSource), noise_of(kTwoMiB + 1));
    write_host_file(host_of(kTarget), "precious");
    for (bool compress : {false, true}) {
        SCOPED_TRACE(compress);
        ASSERT_TRUE(backup(compress));
        FixedInterrupter stop(true);
        EXPECT_FALSE(restore(compress, kWork, kTarget, nullptr, &stop));
        EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
        EXPECT_EQ(stop.asked, 1);
        EXPECT_EQ(read_host_file(host_of(kTarget)), "precious");
        EXPECT_EQ(names_in_data(), (std::set<std::string>{"source.bin", "work", "restored.bin"}));
        EXPECT_EQ(logged(), "Failed to decrypt and decompress C:\\data\\work, user cancelled.\n");
    }
    // Without an existing target there is none afterwards either.
    FixedInterrupter stop(true);
    EXPECT_FALSE(restore(true, kWork, L"C:\\data\\new.bin", nullptr, &stop));
    EXPECT_EQ(names_in_data(), (std::set<std::string>{"source.bin", "work", "restored.bin"}));
}

TEST_F(TransformationDamage, DamagedOrMisflaggedDataLeavesTheTargetUntouched) {
    const std::string text = text_of(5000);
    write_host_file(host_of(kSource), text);
    ASSERT_TRUE(backup(true));
    const std::string compressed = read_host_file(host_of(kWork));
    ASSERT_TRUE(backup(false));
    const std::string plain = read_host_file(host_of(kWork));
    std::string flipped_middle = compressed, flipped_last = plain;
    flipped_middle[compressed.size() / 2] ^= 0x40;
    flipped_last.back() ^= 0x01;

    struct Case {
        const char* what;
        std::string stored;
        bool decompress;
    } cases[] = {
        {"a byte of compressed data changed", flipped_middle, true},
        {"the padding changed", flipped_last, false},
        {"cut short by a byte", plain.substr(0, plain.size() - 1), false},
        {"cut to whole blocks", compressed.substr(0, compressed.size() - 16), true},
        {"empty", "", false},
        {"decompressed though stored plain", plain, true},
        {"the checksum changed", planted_stored_form(text, "", "z[-1] ^= 1"), true},
        {"the stream cut short", planted_stored_form(text, "", "del z[-5:]"), true},
    };
    const std::string existing = noise_of(70000, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_host_file(host_of(kWork), c.stored);
        write_host_file(host_of(kTarget), existing);
        SetLastError(ERROR_CANCELLED);  // a stale code must not read as a stop
        EXPECT_FALSE(restore(c.decompress));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
        EXPECT_TRUE(read_host_file(host_of(kTarget)) == existing);
        EXPECT_EQ(names_in_data(), (std::set<std::string>{"source.bin", "work", "restored.bin"}));
        std::string log = logged();
        EXPECT_EQ(log.rfind("Failed to decrypt and decompress C:\\data\\work, ", 0), 0u) << log;
        EXPECT_EQ(log.find("user cancelled"), std::string::npos) << log;
    }
}

// A restored file is the zlib stream's content: bytes after its end (after
// its checksum) are damage, whether they share its last block or fill blocks
// of their own, for a stored file turned back in memory (read, or handed
// over in memory) and for one streamed. The same stream alone comes back.
TEST_F(TransformationDamage, WhatFollowsTheEndOfTheStreamIsDamageInMemoryAndStreamed) {
    const std::string small = text_of(5000), large = noise_of(kTwoMiB + 1);
    const std::string existing = noise_of(70000, 3);
    for (const std::string* data : {&small, &large}) {
        for (const std::string after :
             {std::string(), std::string("x"), std::string("and what follows the stream's end"),
              noise_of(100, 9)}) {
            SCOPED_TRACE(std::to_string(data->size()) + " bytes then " +
                         std::to_string(after.size()));
            const std::string stored = planted_stored_form(*data, after);
            // A stored file of more than 1 MiB is streamed.
            EXPECT_EQ(stored.size() > (1u << 20), data == &large);
            write_host_file(host_of(kWork), stored);
            for (bool held : {false, true}) {
                SCOPED_TRACE(held ? "held" : "read");
                write_host_file(host_of(kTarget), existing);
                RestoreTransformation transformation(true);
                SetLastError(ERROR_CANCELLED);
                bool restored = held ? transformation.transformHeld(
                                           reinterpret_cast<const uint8_t*>(stored.data()),
                                           stored.size(), kTarget, nullptr, kWork)
                                     : transformation.transform(kWork, kTarget, nullptr, nullptr);
                EXPECT_EQ(names_in_data(), (std::set<std::string>{"work", "restored.bin"}));
                std::string log = logged();
                if (after.empty()) {
                    EXPECT_TRUE(restored) << GetLastError() << " " << log;
                    EXPECT_TRUE(read_host_file(host_of(kTarget)) == *data);
                    EXPECT_EQ(log, "");
                    continue;
                }
                EXPECT_FALSE(restored);
                EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
                EXPECT_TRUE(read_host_file(host_of(kTarget)) == existing);
                EXPECT_EQ(log.rfind("Failed to decrypt and decompress C:\\data\\work, ", 0), 0u)
                    << log;
            }
        }
    }
}

TEST_F(TransformationDamage, AFileOfTheTemporaryNameIsNeverTouched) {
    write_host_file(host_of(kSource), text_of(100));
    ASSERT_TRUE(backup(false));
    write_host_file(host_of(L"C:\\data\\restored.bin.~tovel0"), "not ours");
    ASSERT_TRUE(restore(false)) << GetLastError();
    EXPECT_EQ(read_host_file(host_of(kTarget)), text_of(100));
    EXPECT_EQ(read_host_file(host_of(L"C:\\data\\restored.bin.~tovel0")), "not ours");
    EXPECT_EQ(names_in_data(), (std::set<std::string>{"source.bin", "work", "restored.bin",
                                                      "restored.bin.~tovel0"}));
}

TEST_F(TransformationAttributes, AttributesAndTimesAreAppliedOnRestore) {
    write_host_file(host_of(kSource), text_of(3000));
    ASSERT_TRUE(backup(true));
    write_host_file(host_of(kTarget), "old");
    // Write 2018-07-01 12:00:00.1234567, access 2020-02-29 23:59:59.9999999 (UTC).
    const int64_t write_ns = 1530446400123456700ll, access_ns = 1583020799999999900ll;
    auto filetime = [](int64_t ns) {
        uint64_t ticks = 116444736000000000ull + static_cast<uint64_t>(ns / 100);
        return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    };
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    attributes.dwFileAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
    attributes.ftCreationTime = filetime(1500000000000000000ll);
    attributes.ftLastAccessTime = filetime(access_ns);
    attributes.ftLastWriteTime = filetime(write_ns);
    ASSERT_TRUE(restore(true, kWork, kTarget, &attributes)) << GetLastError();
    EXPECT_EQ(python("import os; s = os.stat('" + host_of(kTarget) +
                     "'); print(s.st_mtime_ns, s.st_atime_ns, oct(s.st_mode & 0o200))"),
              std::to_string(write_ns) + " " + std::to_string(access_ns) + " 0o0");
    EXPECT_EQ(GetFileAttributesW(kTarget), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(read_host_file(host_of(kTarget)),
              text_of(3000));  // read last: it moves the access time

    // Without attributes the new file is writable and has the time of its
    // writing.
    ASSERT_TRUE(restore(true, kWork, L"C:\\data\\other.bin")) << GetLastError();
    EXPECT_EQ(GetFileAttributesW(L"C:\\data\\other.bin"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(python("import os, time; print(abs(time.time() - os.stat('" +
                     host_of(L"C:\\data\\other.bin") + "').st_mtime) < 600)"),
              "True");
    EXPECT_EQ(names_in_data(),
              (std::set<std::string>{"source.bin", "work", "restored.bin", "other.bin"}));
    EXPECT_EQ(logged(), "");
}

TEST_F(TransformationFailures, MissingSourcesAndUnwritableTargets) {
    write_host_file(host_of(kSource), "data");
    EXPECT_FALSE(backup(true, L"C:\\missing.bin"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(logged(), "Failed to open source C:\\missing.bin, " + error_text(2) + "\n");
    EXPECT_FALSE(exists(kWork));

    EXPECT_FALSE(backup(true, kSource, L"C:\\nope\\work"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(logged(), "Failed to open target C:\\nope\\work, " + error_text(3) + "\n");

    ASSERT_TRUE(backup(true));
    EXPECT_FALSE(restore(true, L"C:\\missing.bin"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(logged(), "Failed to target file C:\\missing.bin, " + error_text(2) + ".\n");
    EXPECT_FALSE(exists(kTarget));

    EXPECT_FALSE(restore(true, kWork, L"C:\\nope\\restored.bin"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(logged(), "Failed to open target C:\\nope\\restored.bin, " + error_text(3) + ".\n");

    // A folder in the target's place stays, and so does nothing else.
    ASSERT_TRUE(CreateDirectoryW(L"C:\\data\\folder", nullptr));
    EXPECT_FALSE(restore(true, kWork, L"C:\\data\\folder"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(logged(), "Failed to replace target C:\\data\\folder, " + error_text(5) + ".\n");
    EXPECT_TRUE(std::filesystem::is_directory(host_of(L"C:\\data\\folder")));
    EXPECT_EQ(names_in_data(), (std::set<std::string>{"source.bin", "work", "folder"}));
}

TEST_F(TransformationFailures, AFullDiskRemovesThePartialFileInBothDirections) {
    key_checks::SmallDisk disk(host_of(L"C:\\small"));
    if (!disk.mounted()) GTEST_SKIP() << "no small file system can be mounted here: " << disk.why();
    write_host_file(host_of(kSource), noise_of(200000));

    EXPECT_FALSE(backup(true, kSource, L"C:\\small\\work"));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(logged(),
              "Failed to compress and encrypt C:\\data\\source.bin, " + error_text(112) + ".\n");
    EXPECT_FALSE(exists(L"C:\\small\\work"));

    ASSERT_TRUE(backup(true));
    write_host_file(host_of(L"C:\\small\\restored.bin"), "precious");
    EXPECT_FALSE(restore(true, kWork, L"C:\\small\\restored.bin"));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(logged(),
              "Failed to decrypt and decompress C:\\data\\work, " + error_text(112) + ".\n");
    EXPECT_EQ(read_host_file(host_of(L"C:\\small\\restored.bin")), "precious");
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(host_of(L"C:\\small")))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"restored.bin"}));
}

// The part of a restore done ahead on a thread of its own: a small stored
// file is written to its target's temporary file, or, while the target's
// folder does not exist, held in memory for write(); a stored file too large
// for memory is left to transform. Either way the bytes are the file's.
TEST_F(TransformationAhead, SmallFilesAreWrittenOrHeldAndLargeOnesStreamed) {
    const std::string text = text_of(5000);
    write_host_file(host_of(kSource), text);
    ASSERT_TRUE(backup(true));
    RestoreTransformation transformation(true);
    transformation.temporaryToken(L"0badf00d");
    std::vector<uint8_t> held;

    const std::wstring later = L"C:\\data\\later\\r.bin";
    EXPECT_EQ(transformation.transformAhead(kWork, later.c_str(), nullptr, held),
              RestoreTransformation::Ahead::kHeld);
    EXPECT_EQ(std::string(held.begin(), held.end()), text);
    EXPECT_FALSE(exists(L"C:\\data\\later"));
    EXPECT_EQ(logged(), "");  // a missing folder is no failure
    ASSERT_TRUE(std::filesystem::create_directory(host_of(L"C:\\data\\later")));
    transformation.durableEach(false);
    ASSERT_TRUE(transformation.write(held.data(), held.size(), later.c_str(), nullptr));
    EXPECT_EQ(transformation.waiting(), RestoreTransformation::temporaryOf(later, L"0badf00d"));
    EXPECT_FALSE(exists(later));
    ASSERT_TRUE(transformation.place(transformation.waiting(), later.c_str(), false));
    EXPECT_EQ(read_host_file(host_of(later)), text);

    transformation.durableEach(true);
    EXPECT_EQ(transformation.transformAhead(kWork, kTarget, nullptr, held),
              RestoreTransformation::Ahead::kWritten);
    EXPECT_TRUE(transformation.durableEach());
    EXPECT_EQ(transformation.waiting(), RestoreTransformation::temporaryOf(kTarget, L"0badf00d"));
    EXPECT_EQ(read_host_file(host_of(transformation.waiting())), text);
    EXPECT_FALSE(exists(kTarget));

    // A large one is streamed into its temporary file, not forced, and left
    // to be placed; without its folder nothing is done (kLater), and a stop
    // or damaged data leave nothing.
    const std::string noise = noise_of(3 * 1024 * 1024);
    write_host_file(host_of(kSource), noise);
    ASSERT_TRUE(backup(false));
    RestoreTransformation plain(false);
    plain.temporaryToken(L"0badf00d");
    EXPECT_EQ(plain.transformAhead(kWork, L"C:\\data\\later2\\large.bin", nullptr, held),
              RestoreTransformation::Ahead::kLater);
    EXPECT_TRUE(held.empty());
    EXPECT_FALSE(exists(L"C:\\data\\later2"));
    EXPECT_EQ(logged(), "");
    FixedInterrupter stop(true);
    EXPECT_EQ(plain.transformAhead(kWork, L"C:\\data\\large.bin", nullptr, held, &stop),
              RestoreTransformation::Ahead::kNone);
    EXPECT_EQ(stop.asked, 1);
    EXPECT_EQ(logged(), "");  // a stop of work done ahead is no failure
    EXPECT_EQ(names_in_data().count("large.bin.~tovel-0badf00d"), 0u);
    EXPECT_EQ(plain.transformAhead(kWork, L"C:\\data\\large.bin", nullptr, held),
              RestoreTransformation::Ahead::kWritten);
    EXPECT_EQ(plain.waiting(),
              RestoreTransformation::temporaryOf(L"C:\\data\\large.bin", L"0badf00d"));
    EXPECT_TRUE(read_host_file(host_of(plain.waiting())) == noise);
    EXPECT_FALSE(exists(L"C:\\data\\large.bin"));
    RestoreTransformation unpacking(true);  // stored without compression: damaged for it
    unpacking.temporaryToken(L"0badf00d");
    EXPECT_EQ(unpacking.transformAhead(kWork, L"C:\\data\\other.bin", nullptr, held),
              RestoreTransformation::Ahead::kNone);
    EXPECT_EQ(names_in_data().count("other.bin.~tovel-0badf00d"), 0u);
}

// A file whose target was not there in its turn is renamed without a look at
// the target; whatever came there since is met as at any target: a file is
// replaced, a link refused and left as it was, with no temporary file left.
TEST_F(TransformationAhead, AnAbsentTargetThatFilledSinceIsReplacedOrRefusedAsAnyOther) {
    const std::string text = text_of(3000);
    write_host_file(host_of(kSource), text);
    ASSERT_TRUE(backup(true));
    RestoreTransformation transformation(true);
    transformation.temporaryToken(L"0badf00d");
    std::vector<uint8_t> held;
    auto place_absent = [&] {
        EXPECT_EQ(transformation.transformAhead(kWork, kTarget, nullptr, held),
                  RestoreTransformation::Ahead::kWritten);
        return transformation.place(transformation.waiting(), kTarget, false, true);
    };
    ASSERT_TRUE(place_absent());
    EXPECT_EQ(read_host_file(host_of(kTarget)), text);

    write_host_file(host_of(kTarget), "came since");
    ASSERT_TRUE(place_absent());
    EXPECT_EQ(read_host_file(host_of(kTarget)), text);

    const std::string victim = host_of(L"C:\\victim.txt");
    write_host_file(victim, "not the restore's");
    std::filesystem::remove(host_of(kTarget));
    std::filesystem::create_symlink(victim, host_of(kTarget));
    EXPECT_FALSE(place_absent());
    EXPECT_EQ(GetLastError(), kLinkInTheWay);
    EXPECT_TRUE(std::filesystem::is_symlink(host_of(kTarget)));
    EXPECT_EQ(read_host_file(victim), "not the restore's");
    EXPECT_EQ(names_in_data().count("restored.bin.~tovel-0badf00d"), 0u);
}
