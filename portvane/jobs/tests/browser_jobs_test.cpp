// The jobs of the web interface as a page in headless Chromium uses them (the page is not named
// after "/jobs", whose handler would take its URI): it logs in, defines a
// backup job, runs it, lists and browses its run, and removes the job.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"
#include "portvane/tests/live_stream.h"
#include "tools/testkit/browser_page.h"
#include "tools/testkit/machine_fixture.h"

using namespace portvane_tests;
using tovel::testing::BrowserPage;
using tovel::testing::host_of;
using tovel::testing::write_host_file;

namespace {

constexpr int kPageMs = 60000;

class BrowserJobs : public LiveServer {
protected:
    void SetUp() override {
        std::string missing = BrowserPage::missing();
        if (!missing.empty()) GTEST_SKIP() << "no browser tests here: " << missing;
        LiveServer::SetUp();
    }
};

}  // namespace

TEST_F(BrowserJobs, APageDefinesRunsBrowsesAndRemovesAJob) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\t", nullptr));
    ASSERT_TRUE(CreateDirectoryW(L"C:\\t\\sub", nullptr));
    write_host_file(host_of(L"C:\\t\\sub\\a.txt"), "a");
    write_host_file(host_of(L"C:\\t\\b.txt"), "bb");
    bindService();
    BrowserPage page(url("/trial.html?login=alice:secret"));
    const std::vector<std::string> ends = {"tovel:failed", "failed", "pageerror"};
    auto next = [&](const char* prefix) {
        std::vector<std::string> prefixes = ends;
        prefixes.push_back(prefix);
        return page.next(prefixes, kPageMs);
    };
    ASSERT_EQ(next("tovel:login"), "tovel:login 200") << [&] {
        std::string all;
        for (const std::string& line : page.lines()) all += line + "\n";
        return all;
    }();
    std::string created = next("tovel:created");
    ASSERT_EQ(created.substr(0, 14), "tovel:created ") << created;
    ASSERT_EQ(next("tovel:ended"), "tovel:ended completed");
    ASSERT_EQ(next("tovel:runs"), "tovel:runs 1");
    EXPECT_EQ(next("tovel:source"),
              R"(tovel:source [{"atime":"","ctime":"","has_sub_dir":"true","increment":0,)"
              R"("mtime":"","vol":"C:"}])");
    EXPECT_EQ(next("tovel:files"), "tovel:files 2");
    EXPECT_EQ(next("tovel:removed"), "tovel:removed 200");
}
