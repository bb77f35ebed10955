// Package heads of stored files: both heads on the wire as an independent
// reader sees them, a file received anew with its times, every cut or
// stretched package refused, names that would leave the receiving folder,
// and the bounds of the key and the setters.
#include "job/storage/data_headers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "job/storage/received_name.h"
#include "job/tests/http_test_server.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/host_processes.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"
#include "wirekit/connector_mgr.h"

using tovel::testing::host_of;
using tovel::testing::python;
using tovel::testing::read_host_file;
using tovel::testing::to_hex;
using tovel::testing::write_host_file;

namespace {

const char kKey[] = "0123456789abcdef0123456789abcdef";
const unsigned char kIv[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr uint64_t kWrite = 133000000000000000ull;  // FILETIMEs in 2022
constexpr uint64_t kAccess = 133000000010000000ull;

const unsigned char* raw(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// The chunks of a raw chunked body, one package each.
std::vector<std::string> dechunk(const std::string& body) {
    std::vector<std::string> out;
    for (size_t at = 0;;) {
        size_t line = body.find("\r\n", at);
        if (line == std::string::npos) break;
        size_t size = std::stoul(body.substr(at, line - at), nullptr, 16);
        if (size == 0) break;
        out.push_back(body.substr(line + 2, size));
        at = line + 2 + size + 2;
    }
    return out;
}

class DataHeaders : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        std::filesystem::create_directories(host_of(L"C:\\recv"));
        chunkhead::set_target_folder(L"C:\\recv");
        ASSERT_TRUE(datahead::set_key(kKey, 16));
    }
    void TearDown() override {
        chunkhead::close_received_file();
        chunkhead::set_target_folder(nullptr);
        datahead::clear_key();
        LoggedTest::TearDown();
    }

    // The packages that sender sends in one chunked POST, as they came on
    // the wire, one chunk each.
    std::vector<std::string> wire(const std::function<void(HTTP_Invoker&)>& sender) {
        std::mutex lock;
        std::string body;
        http_tests::Scripted_Server server([&](http_tests::Peer& peer) {
            if (peer.read_head().empty()) return;
            std::string got = peer.read_chunked_raw();
            {
                std::lock_guard<std::mutex> guard(lock);
                body = got;
            }
            peer.send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        });
        HTTP_Invoker client("127.0.0.1", server.port());
        client.timeouts(HTTP_Timeouts{5000, 5000, 5000});
        EXPECT_EQ(client.connect(Connector_Mgr_Impl::instance()->connector()), 0);
        HTTP_Request request(HTTP_METHOD_POST, "/up", 1, 1);
        request.chunked_transfer_encoding(true);
        EXPECT_EQ(client.send_head(request), 0);
        sender(client);
        EXPECT_EQ(client.send_chunk(nullptr, 0), 0);
        HTTP_Response response;
        EXPECT_EQ(client.recv_head(response), 0);
        client.close();
        std::lock_guard<std::mutex> guard(lock);
        return dechunk(body);
    }

    // A file package for name with the test's times.
    static filehead file_package(const std::string& name, DWORD attributes, uint64_t size) {
        filehead head;
        EXPECT_TRUE(head.init());
        EXPECT_TRUE(
            head.set(attributes, size, kWrite, kAccess, kWrite - 5, name.data(), name.size()));
        return head;
    }
    // A data package of content: AES-128 with kIv, compressed when asked.
    static void data_package(datahead& head, const std::string& content, bool compressed,
                             bool end) {
        ASSERT_TRUE(head.init());
        ASSERT_TRUE(head.set_encrypt(1, 16, kIv));
        ASSERT_TRUE(head.set_compress(compressed ? 2 : 0, compressed ? 6 : 0));
        ASSERT_TRUE(head.set_data_content(content.data(), content.size()));
        if (end) {
            ASSERT_TRUE(head.set_data_end());
        }
    }
    std::vector<std::string> packages(const std::string& name, DWORD attributes,
                                      const std::vector<std::string>& blocks) {
        return wire([&](HTTP_Invoker& client) {
            filehead file = file_package(name, attributes, 0);
            EXPECT_TRUE(file.send_package(client));
            for (size_t i = 0; i < blocks.size(); ++i) {
                datahead data;
                data_package(data, blocks[i], i == 0, i + 1 == blocks.size());
                EXPECT_TRUE(data.send_package(client));
            }
        });
    }
    static bool receive(chunkhead& head, const std::string& package) {
        return head.handle_package(raw(package), package.size());
    }
};

}  // namespace

TEST_F(DataHeaders, BothHeadsLieOnTheWireAsAnIndependentReaderSees) {
    std::string content(5000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 251);
    auto sent = wire([&](HTTP_Invoker& client) {
        filehead file = file_package("docs/\xC3\xA4.txt", 0x21, 5000);
        ASSERT_TRUE(file.send_package(client));
        datahead data;
        data_package(data, content, false, true);
        ASSERT_TRUE(data.set_data_check_algo(2));
        ASSERT_TRUE(data.set_data_check(0x11223344));
        ASSERT_TRUE(data.set_data_processed_check(0x55667788));
        ASSERT_TRUE(data.send_package(client));
        ASSERT_TRUE(data.send_package(client));  // encoded once: the same bytes again
    });
    std::string report = python(
        "import struct, subprocess\n"
        "f, d, again = [bytes.fromhex(p) for p in '" +
        to_hex(sent.at(0)) + " " + to_hex(sent.at(1)) + " " + to_hex(sent.at(2)) +
        "'.split()]\n"
        "length, tag = struct.unpack_from('<II', f, 0)\n"
        "ident = f[8:24]\n"
        "attrs, size, w, a, c, off, ln = struct.unpack_from('<IQQQQHH', f, 24)\n"
        "name = f[off:off + ln].decode('utf-8')\n"
        "print(length == len(f), hex(tag), ident != bytes(16), attrs, size, w, a, c, off, name)\n"
        "(length, tag, flags, dlen, chk, pchk, ctype, cpar, etype, r0, r1, koff, klen) = "
        "struct.unpack_from('<IIIIIIHHHBBHH', d, 0)\n"
        "iv = d[koff:koff + klen]\n"
        "plain = subprocess.run(['openssl', 'enc', '-d', '-aes-128-cbc', '-K', '" +
        to_hex(std::string(kKey, 16)) +
        "', '-iv', iv.hex()], input=d[koff + klen:], capture_output=True).stdout\n"
        "print(length == len(d), hex(tag), flags, dlen, hex(chk), hex(pchk), ctype, cpar, etype,"
        " r0, r1, koff, klen, iv == bytes(range(1, 17)), len(plain), plain.hex() == '" +
        to_hex(content) + "', d == again)");
    EXPECT_EQ(report,
              "True 0x57484452 True 33 5000 133000000000000000 133000000010000000 "
              "132999999999999995 64 docs/\xC3\xA4.txt\n"
              "True 0x44415441 5 5000 0x11223344 0x55667788 0 0 1 0 0 36 16 True 5000 True True");
}

TEST_F(DataHeaders, ReceivedFileIsMadeAnewWithItsTimesAndNoTail) {
    std::string first(3000, 'a');
    std::string second = "the end";
    std::string folder =
        wire([&](HTTP_Invoker& client) {
            EXPECT_TRUE(file_package("sub", FILE_ATTRIBUTE_DIRECTORY, 0).send_package(client));
        }).at(0);
    // A flag in the attributes must not reach CreateFileW: it would delete the file at close.
    auto sent =
        packages("sub\\f.bin", FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_DELETE_ON_CLOSE, {first, second});
    ASSERT_EQ(sent.size(), 3u);
    std::string host = host_of(L"C:\\recv\\sub\\f.bin");
    std::filesystem::create_directories(host_of(L"C:\\recv\\sub"));
    write_host_file(host, std::string(10000, 'x'));  // an older, longer file

    filehead file;
    datahead data;
    EXPECT_TRUE(receive(file, folder));  // an existing folder is no failure
    ASSERT_TRUE(receive(file, sent[0]));
    ASSERT_TRUE(receive(data, sent[1]));
    ASSERT_TRUE(receive(data, sent[2]));
    EXPECT_FALSE(receive(data, sent[2]));  // the last package closed the file
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(python("import os; s = os.stat('" + host + "'); print(s.st_mtime_ns, s.st_atime_ns)"),
              std::to_string((kWrite - 116444736000000000ull) * 100) + " " +
                  std::to_string((kAccess - 116444736000000000ull) * 100));
    EXPECT_EQ(read_host_file(host), first + second);  // read after the access time
}

TEST_F(DataHeaders, CutOrStretchedPackagesAreRefused) {
    auto sent = packages("f.bin", FILE_ATTRIBUTE_ARCHIVE, {std::string(100, 'z')});
    ASSERT_EQ(sent.size(), 2u);
    filehead file;
    datahead data;
    for (size_t n = 0; n < sent[0].size(); ++n) EXPECT_FALSE(file.handle_package(raw(sent[0]), n));
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\recv\\f.bin")));
    ASSERT_TRUE(receive(file, sent[0]));
    for (size_t n = 0; n < sent[1].size(); ++n) EXPECT_FALSE(data.handle_package(raw(sent[1]), n));

    // Byte patches of the data package: offsets or lengths outside it, a
    // length that would underflow, data lengths that decoding does not give.
    auto patched = [&](size_t at, std::vector<unsigned char> with) {
        std::string copy = sent[1];
        for (size_t i = 0; i < with.size(); ++i) copy[at + i] = static_cast<char>(with[i]);
        return copy;
    };
    const std::vector<std::string> bad = {
        patched(32, {0xFF, 0xFF}),             // key offset far out
        patched(34, {0xFF, 0xFF}),             // key length far out
        patched(32, {10, 0}),                  // key offset inside the head
        patched(0, {0xFF, 0xFF, 0xFF, 0x7F}),  // package length over what arrived
        patched(0, {40, 0, 0, 0}),             // shorter than key offset + key length
        patched(12, {99, 0, 0, 0}),            // data length other than the data's
        patched(12, {101, 0, 0, 0}),
        patched(12, {0xFF, 0xFF, 0xFF, 0xFF}),  // a huge data length
        patched(8, {6, 0, 0, 0}),               // check algorithm 3
        patched(28, {9, 0}),                    // unknown encryption
        patched(4, {0, 0, 0, 0}),               // no tag
        patched(28, {0, 0}),                    // clear data said to be 100 bytes
    };
    for (size_t i = 0; i < bad.size(); ++i) EXPECT_FALSE(receive(data, bad[i])) << i;
    EXPECT_EQ(read_host_file(host_of(L"C:\\recv\\f.bin")), "");

    std::string file_bad[] = {sent[0], sent[0], sent[0]};
    file_bad[0][60] = static_cast<char>(0xFF);  // name offset past the package
    file_bad[1][62] = static_cast<char>(0x40);  // name length past the package
    file_bad[2][60] = 8;                        // name inside the head
    for (const auto& package : file_bad) EXPECT_FALSE(receive(file, package));
    EXPECT_TRUE(receive(data, sent[1]));  // the file is still open and takes the data
    EXPECT_EQ(read_host_file(host_of(L"C:\\recv\\f.bin")), std::string(100, 'z'));
}

TEST_F(DataHeaders, NamesMustStayBelowTheReceivingFolder) {
    // One refused name a line.
    std::istringstream refused(
        "..\\x\na\\..\\..\\x\n.\na/./b\na.\na \n\\x\n/x\n\\\\host\\share\\x\nC:\\x\nC:x\n"
        "a:stream\na\\\\b\na\\\na\x01\na*\na?\na|b\na<b\na\"b\nCON\nnul.txt\naux .log\n"
        "x\\COM1\nlpt9.a.b\n\xC3\n\xC0\xAE\xC0\xAE\\x\n\xED\xA0\x80");
    std::wstring out = L"unchanged";
    for (std::string name; std::getline(refused, name);)
        EXPECT_FALSE(received_path(L"C:\\recv", name.data(), name.size(), out)) << name;
    EXPECT_FALSE(received_path(L"C:\\recv", "", 0, out));
    EXPECT_EQ(out, L"unchanged");
    EXPECT_FALSE(received_path(L"", "a", 1, out));
    ASSERT_TRUE(received_path(L"C:\\recv\\", "a/b c\\CONSOLE.txt", 17, out));
    EXPECT_EQ(out, L"C:\\recv\\a\\b c\\CONSOLE.txt");
    ASSERT_TRUE(received_path(L"C:\\recv", "\xE2\x82\xAC..x", 6, out));
    EXPECT_EQ(out, L"C:\\recv\\\u20AC..x");

    auto outside = packages("..\\outside", FILE_ATTRIBUTE_ARCHIVE, {"x"});
    filehead file;
    EXPECT_FALSE(receive(file, outside[0]));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\outside")));

    // A new file package closes the file that an earlier one left open.
    auto a = packages("a.bin", FILE_ATTRIBUTE_ARCHIVE, {"x"});
    auto b = packages("b.bin", FILE_ATTRIBUTE_ARCHIVE, {"y"});
    ASSERT_TRUE(receive(file, a[0]));
    ASSERT_TRUE(receive(file, b[0]));
    for (const auto& fd : tovel::testing::descriptors_of(getpid()))
        EXPECT_EQ(fd.second.find("a.bin"), std::string::npos) << fd.second;

    chunkhead::set_target_folder(nullptr);
    EXPECT_FALSE(receive(file, a[0]));
}

TEST_F(DataHeaders, KeyAndSettersKeepTheirBounds) {
    EXPECT_FALSE(datahead::set_key("0123456789abcdef0123456789abcdef0123", 32));  // 36 characters
    EXPECT_FALSE(datahead::set_key("0123456789abcde", 16));  // shorter than the key
    EXPECT_FALSE(datahead::set_key(kKey, 20));
    EXPECT_FALSE(datahead::set_key(nullptr, 16));
    EXPECT_TRUE(datahead::set_key("0123456789abcdef0123456789abcdef012", 32));  // 35
    EXPECT_TRUE(datahead::set_key(kKey, 24));

    datahead data;
    EXPECT_FALSE(data.set_data_end());  // no head yet
    ASSERT_TRUE(data.init());
    ASSERT_TRUE(data.set_data_end());
    ASSERT_TRUE(data.set_data_check_algo(2));
    ASSERT_TRUE(data.set_data_check_algo(1));
    EXPECT_FALSE(data.set_data_check_algo(3));
    EXPECT_EQ(data.head()[8], 3);  // the end bit and algorithm 1
    EXPECT_FALSE(data.set_compress(5, 0));
    EXPECT_FALSE(data.set_encrypt(4, 16, kIv));
    EXPECT_FALSE(data.set_encrypt(1, 17, kIv));
    std::string block(65552, 'q');  // grows the data buffer to 65568
    ASSERT_TRUE(data.set_data_content(block.data(), block.size()));

    // A copy owns its buffers: the original may change and go.
    ASSERT_TRUE(data.set_encrypt(1, 16, kIv));
    auto copy = std::make_unique<datahead>(data);
    ASSERT_TRUE(data.set_data_content("other", 5));
    data.uninit();
    EXPECT_EQ(copy->head()[12] | copy->head()[13] << 8 | copy->head()[14] << 16, 65552);
    std::vector<std::string> sent = wire([&](HTTP_Invoker& client) {
        EXPECT_TRUE(copy->send_package(client));
        datahead::clear_key();
        datahead unkeyed;
        data_package(unkeyed, "secret", false, true);
        EXPECT_FALSE(unkeyed.send_package(client));  // never clear text under an encryption type
    });
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 36u + 16u + 65568u);

    HTTP_Invoker idle("127.0.0.1", 1);
    filehead file;
    ASSERT_TRUE(file.init());
    EXPECT_FALSE(file.send_package(idle));  // a send that cannot go out is reported
    EXPECT_FALSE(copy->send_package(idle));
}
