#include "job/storage/feed_lane.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::write_host_file;

namespace {

const uint8_t* bytes_of(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

scoped_handle open_read(const wchar_t* path) {
    return scoped_handle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

// A file's first bytes, read on the lane, come before the pieces put, in
// order, stream after stream; a refusal skips the rest of its stream only,
// and a file shorter than its bytes fails the read.
TEST(FeedLane, AFilesBytesThenThePiecesComeInOrderAndARefusalSkipsTheRest) {
    const std::string head(3 * FeedLane::kReadBytes + 5, 'h');
    write_host_file(host_of(L"C:\\lane.bin"), head + "not this");
    FeedLane lane;
    std::string taken;  // the owner reads it after drain
    DWORD failed = 0;
    auto take = [&](const uint8_t* data, size_t size) {
        taken.append(reinterpret_cast<const char*>(data), size);
        return taken.find('!') == std::string::npos;
    };
    auto fail = [&](DWORD code) { failed = code; };
    for (int round = 0; round < 2; ++round) {
        taken.clear();
        lane.begin(take, fail);
        lane.read(open_read(L"C:\\lane.bin"), head.size());
        std::string pieces;
        for (int i = 0; i < 40; ++i) {
            std::string piece = "piece " + std::to_string(i) + ";";
            pieces += piece;
            ASSERT_TRUE(lane.put(bytes_of(piece), piece.size(), nullptr));
        }
        ASSERT_TRUE(lane.drain(nullptr));
        EXPECT_TRUE(taken == head + pieces);
    }
    taken.clear();
    lane.begin(take, fail);
    for (const std::string piece : {"a", "!", "b", "c"})
        ASSERT_TRUE(lane.put(bytes_of(piece), piece.size(), nullptr));
    ASSERT_TRUE(lane.drain(nullptr));
    EXPECT_EQ(taken, "a!");
    EXPECT_EQ(failed, 0u);

    taken.clear();
    lane.begin(take, fail);
    lane.read(open_read(L"C:\\lane.bin"), head.size() + 100);
    ASSERT_TRUE(lane.put(bytes_of(head), 1, nullptr));
    ASSERT_TRUE(lane.drain(nullptr));
    EXPECT_EQ(failed, static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(taken.size(), head.size() + 8);  // the whole file, nothing after it
}

// While the taker is behind, put waits once kQueued pieces wait, asking the
// stop; a stop gives up the wait, and drop ends the stream with what is
// queued untaken.
TEST(FeedLane, AFullQueueWaitsForTheTakerUntilAStopAndDropLeavesTheRestUntaken) {
    FeedLane lane;
    std::atomic<bool> release{false};
    std::atomic<int> takes{0};
    lane.begin(
        [&](const uint8_t*, size_t) {
            ++takes;
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return true;
        },
        [](DWORD) {});
    const std::string piece = "p";
    // The first piece is being taken; kQueued more wait.
    ASSERT_TRUE(lane.put(bytes_of(piece), 1, nullptr));
    while (takes == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (size_t i = 0; i < FeedLane::kQueued; ++i)
        ASSERT_TRUE(lane.put(bytes_of(piece), 1, nullptr));
    int asked = 0;
    EXPECT_FALSE(lane.put(bytes_of(piece), 1, [&] { return ++asked == 3; }));
    EXPECT_EQ(asked, 3);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release = true;
    });
    EXPECT_FALSE(lane.drain([] { return true; }));  // drops, and waits for the take under way
    EXPECT_TRUE(release);
    EXPECT_EQ(takes.load(), 1);
    releaser.join();
    // The lane serves the next stream.
    std::string taken;
    lane.begin(
        [&](const uint8_t* data, size_t size) {
            taken.append(reinterpret_cast<const char*>(data), size);
            return true;
        },
        [](DWORD) {});
    ASSERT_TRUE(lane.put(bytes_of(piece), 1, nullptr));
    ASSERT_TRUE(lane.drain(nullptr));
    EXPECT_EQ(taken, "p");
}
