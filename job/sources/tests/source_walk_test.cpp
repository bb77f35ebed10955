// The walk over backup sources, the counting visitor and the extension filter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/win32_error.h"
#include "job/core/job_volume.h"
#include "job/sources/source_walker.h"
#include "job/tests/walk_checks.h"
#include "plandeck/backup_job_definition.h"

using walk_checks::host_of;
using walk_checks::make_file;
using walk_checks::make_folder;
using walk_checks::make_link;

namespace {

// Records every reported path with its folder bit.
class Recorder : public SourceWalker {
public:
    std::vector<std::wstring> paths;
    std::vector<DWORD> attributes;

    std::vector<std::pair<std::wstring, DWORD>> errors;

protected:
    void processFile(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA& data) override {
        paths.push_back(path);
        attributes.push_back(data.dwFileAttributes);
    }
    void processError(const wchar_t* path, DWORD code) override { errors.emplace_back(path, code); }
};

// Records the names it is asked about and includes those that end in ".keep".
class NameRecorder : public FilterPolicy {
public:
    std::vector<std::wstring> asked;
    bool isInclude(const wchar_t* name) override {
        asked.push_back(name);
        std::wstring text(name);
        return text.size() >= 5 && text.compare(text.size() - 5, 5, L".keep") == 0;
    }
};

// C:\src with files of known sizes, an empty folder, non-ASCII names and
// links to a folder and a file outside, plus a dangling link.
void lay_out_source() {
    make_folder(L"C:\\outside");
    make_file(L"C:\\outside\\x1", "0123456789");
    make_file(L"C:\\outside\\x2", "0123456789");
    make_folder(L"C:\\src");
    make_file(L"C:\\src\\a.txt", "abc");
    make_folder(L"C:\\src\\empty");
    make_folder(L"C:\\src\\sub");
    make_file(L"C:\\src\\sub\\b.jpg", "0123456789");
    make_file(L"C:\\src\\sub\\Grüße 日本 😀.TXT", "12345");
    make_folder(L"C:\\src\\sub\\deeper");
    make_file(L"C:\\src\\sub\\deeper\\c.bin", "1234567");
    make_link(L"C:\\outside", L"C:\\src\\link_dir");
    make_link(L"C:\\outside\\x1", L"C:\\src\\link_file");
    ASSERT_EQ(::symlink("/nonexistent/target", host_of(L"C:\\src\\dangling").c_str()), 0);
}

bool includes(ExtensitonsFilterPolicy filter, const wchar_t* name) {
    return filter.isInclude(name);
}

}  // namespace

TEST(JobSourceWalk, CountsFoldersFilesAndBytesWithoutFollowingLinks) {
    lay_out_source();
    SourceCalculator counter;
    walkSource({L"C:\\src"}, nullptr, &counter);
    // src, empty, sub, deeper and the link to a folder (reported, not walked).
    EXPECT_EQ(counter.directoryCount(), 5u);
    // a.txt, b.jpg, the non-ASCII file, c.bin, the file link and the dangling link.
    EXPECT_EQ(counter.fileCount(), 6u);
    EXPECT_EQ(counter.fileSize(), 3u + 10u + 5u + 7u);

    SourceCalculator copy(counter);
    EXPECT_EQ(copy.fileSize(), counter.fileSize());
    SourceCalculator assigned;
    assigned = counter;
    EXPECT_EQ(assigned.directoryCount(), 5u);
    EXPECT_EQ(SourceCalculator().fileCount(), 0u);
}

TEST(JobSourceWalk, DepthFirstInListingOrderWithFullPaths) {
    lay_out_source();
    Recorder recorder;
    walkSource({L"C:\\src\\"}, nullptr, &recorder);
    std::vector<std::wstring> expected = {
        L"C:\\src\\",
        L"C:\\src\\a.txt",
        L"C:\\src\\dangling",
        L"C:\\src\\empty",
        L"C:\\src\\link_dir",
        L"C:\\src\\link_file",
        L"C:\\src\\sub",
        L"C:\\src\\sub\\b.jpg",
        L"C:\\src\\sub\\deeper",
        L"C:\\src\\sub\\deeper\\c.bin",
        L"C:\\src\\sub\\Grüße 日本 😀.TXT",
    };
    EXPECT_EQ(recorder.paths, expected);
    EXPECT_EQ(recorder.attributes[4], FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(recorder.attributes[5], FILE_ATTRIBUTE_REPARSE_POINT);
}

TEST(JobSourceWalk, SourcesInOrderMissingOnesPassedOver) {
    lay_out_source();
    Recorder recorder;
    walkSource(
        {L"C:\\src\\a.txt", L"C:\\missing", L"", L"Q:\\x", L"C:\\src\\link_dir", L"C:\\src\\empty"},
        nullptr, &recorder);
    std::vector<std::wstring> expected = {L"C:\\src\\a.txt", L"C:\\src\\link_dir",
                                          L"C:\\src\\empty"};
    EXPECT_EQ(recorder.paths, expected);         // a source that is a link is not walked either
    walkSource({L"C:\\src"}, nullptr, nullptr);  // no walker: nothing happens
    // The unreadable sources reach the walker as errors, for the run's record.
    ASSERT_EQ(recorder.errors.size(), 2u);
    EXPECT_EQ(recorder.errors[0], std::make_pair(std::wstring(L"C:\\missing"), DWORD{2}));
    EXPECT_EQ(recorder.errors[1].first, L"Q:\\x");
}

TEST(JobSourceWalk, SourcesAreGroupedByVolumeInOrderOfAppearance) {
    host_of(L"C:\\");  // makes the machine
    ASSERT_EQ(::mkdir((tovel::testing::machine_root() + "/drives/d").c_str(), 0755), 0);
    JobVolumeMap volumes;
    SourceClassifier()({L"D:\\photos", L"C:\\src\\a.txt", L"d:\\music", L"Q:\\x", L"C:\\b"},
                       volumes);
    ASSERT_EQ(volumes.size(), 2u);
    JobVolume* d = volumes.at(L"D:\\");
    JobVolume* c = volumes.at(L"C:\\");
    EXPECT_EQ(d->index, 1);
    EXPECT_EQ(c->index, 2);
    EXPECT_EQ(d->sources, (std::vector<std::wstring>{L"D:\\photos", L"d:\\music"}));
    EXPECT_EQ(c->sources, (std::vector<std::wstring>{L"C:\\src\\a.txt", L"C:\\b"}));
    for (auto& entry : volumes) delete entry.second;
}

TEST(JobSourceWalk, LargeFileSizesAddUpInSixtyFourBits) {
    make_folder(L"C:\\big");
    std::string host = host_of(L"C:\\big\\sparse");
    int fd = ::open(host.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 5LL << 30), 0);  // 5 GiB, nothing written
    ::close(fd);
    make_file(L"C:\\big\\small", "12");
    SourceCalculator counter;
    walkSource({L"C:\\big"}, nullptr, &counter);
    EXPECT_EQ(counter.fileSize(), (5ULL << 30) + 2);
}

TEST(JobSourceWalk, FilterSeesNamesInsideAndWholePathsOfSources) {
    make_folder(L"C:\\f");
    make_file(L"C:\\f\\a.keep");
    make_file(L"C:\\f\\b.drop");
    make_folder(L"C:\\f\\dir.drop");
    make_file(L"C:\\f\\dir.drop\\c.keep");
    make_file(L"C:\\f\\dir.drop\\d.drop");
    make_folder(L"C:\\elsewhere");
    make_link(L"C:\\elsewhere", L"C:\\f\\link.drop");
    make_link(L"C:\\elsewhere", L"C:\\f\\link2.keep");
    make_file(L"C:\\top.drop");
    make_file(L"C:\\top.keep");

    NameRecorder filter;
    Recorder recorder;
    walkSource({L"C:\\top.drop", L"C:\\top.keep", L"C:\\f"}, &filter, &recorder);
    std::vector<std::wstring> expected = {
        L"C:\\top.keep",
        L"C:\\f",
        L"C:\\f\\a.keep",
        L"C:\\f\\dir.drop",
        L"C:\\f\\dir.drop\\c.keep",
        L"C:\\f\\link2.keep",
    };
    EXPECT_EQ(recorder.paths, expected);
    // Sources are asked by their path (folders not at all), entries by their
    // name; folders that are walked are never asked.
    std::vector<std::wstring> asked = {L"C:\\top.drop", L"C:\\top.keep", L"a.keep",
                                       L"b.drop",       L"c.keep",       L"d.drop",
                                       L"link.drop",    L"link2.keep"};
    EXPECT_EQ(filter.asked, asked);
}

TEST(JobSourceWalk, ExtensionFilterOnATree) {
    lay_out_source();
    std::unique_ptr<FilterPolicy> filter(FilterPolicyFactory::create(1, {L"*.txt"}));
    Recorder recorder;
    walkSource({L"C:\\src"}, filter.get(), &recorder);
    std::vector<std::wstring> expected = {
        L"C:\\src",      L"C:\\src\\a.txt",       L"C:\\src\\empty",
        L"C:\\src\\sub", L"C:\\src\\sub\\deeper", L"C:\\src\\sub\\Grüße 日本 😀.TXT",
    };
    EXPECT_EQ(recorder.paths, expected);
}

class JobSourceWalkLog : public walk_checks::Logged {};

TEST_F(JobSourceWalkLog, UnreadableFolderIsReportedLoggedAndPassed) {
    make_folder(L"C:\\s");
    make_folder(L"C:\\s\\locked");
    make_file(L"C:\\s\\locked\\hidden.txt", "secret");
    make_file(L"C:\\s\\z.txt", "zz");
    ASSERT_EQ(::chmod(host_of(L"C:\\s\\locked").c_str(), 0), 0);
    SourceCalculator counter;
    walkSource({L"C:\\s"}, nullptr, &counter);
    ::chmod(host_of(L"C:\\s\\locked").c_str(), 0755);
    if (geteuid() == 0) GTEST_SKIP() << "root reads a folder without permissions";
    EXPECT_EQ(counter.directoryCount(), 2u);
    EXPECT_EQ(counter.fileCount(), 1u);  // the walk went on after the failure
    EXPECT_EQ(counter.fileSize(), 2u);
    EXPECT_EQ(logged(), "Failed to iterate 'C:\\s\\locked', err=5, " +
                            std::string(win32_error_text(ERROR_ACCESS_DENIED).text()) + ".\n");
}

TEST_F(JobSourceWalkLog, EmptyFoldersLogNothing) {
    make_folder(L"C:\\e");
    make_folder(L"C:\\e\\inner");
    SourceCalculator counter;
    walkSource({L"C:\\e"}, nullptr, &counter);
    EXPECT_EQ(counter.directoryCount(), 2u);
    EXPECT_EQ(counter.fileCount(), 0u);
    EXPECT_EQ(logged(), "");
}

TEST(JobFilter, StarDotAndBareFormsAreTheSame) {
    for (const wchar_t* form : {L"*.jpg", L".jpg", L"jpg", L"**..jpg", L"*.JPG"}) {
        ExtensitonsFilterPolicy filter(true, {form});
        EXPECT_TRUE(filter.isInclude(L"photo.jpg")) << form;
        EXPECT_TRUE(filter.isInclude(L"PHOTO.Jpg")) << form;
        EXPECT_TRUE(filter.isInclude(L"xjpg")) << form;  // the dot is not required
        EXPECT_TRUE(filter.isInclude(L"jpg")) << form;
        EXPECT_FALSE(filter.isInclude(L"photo.jpeg")) << form;
        EXPECT_FALSE(filter.isInclude(L"photo.jpg.bak")) << form;
        EXPECT_FALSE(filter.isInclude(L"jp")) << form;
        EXPECT_FALSE(filter.isInclude(L"")) << form;
    }
}

TEST(JobFilter, ExtensionsAreMatchedLiterally) {
    EXPECT_TRUE(includes(ExtensitonsFilterPolicy(true, {L"c++"}), L"main.c++"));
    EXPECT_FALSE(includes(ExtensitonsFilterPolicy(true, {L"c++"}), L"main.c"));
    EXPECT_FALSE(includes(ExtensitonsFilterPolicy(true, {L"c++"}), L"main.cc"));
    EXPECT_TRUE(includes(ExtensitonsFilterPolicy(true, {L"tar.gz"}), L"a.TAR.GZ"));
    EXPECT_FALSE(includes(ExtensitonsFilterPolicy(true, {L"tar.gz"}), L"a.tarXgz"));
    EXPECT_FALSE(includes(ExtensitonsFilterPolicy(true, {L"tar.gz"}), L"a.gz"));
    for (const wchar_t* odd : {L"[a]", L"(x|y)", L"a$", L"^b", L"\\d", L"?", L"a{2}"}) {
        std::wstring name = std::wstring(L"file.") + odd;
        EXPECT_TRUE(includes(ExtensitonsFilterPolicy(true, {odd}), name.c_str())) << name;
        EXPECT_FALSE(includes(ExtensitonsFilterPolicy(true, {odd}), L"file.a")) << odd;
    }
    // "*" or "." inside or at the end is part of the text.
    EXPECT_TRUE(includes(ExtensitonsFilterPolicy(true, {L"*.a*b"}), L"x.a*b"));
    EXPECT_FALSE(includes(ExtensitonsFilterPolicy(true, {L"*.a*b"}), L"x.axxb"));
    EXPECT_TRUE(includes(ExtensitonsFilterPolicy(true, {L"bak."}), L"old.bak."));
    EXPECT_FALSE(includes(ExtensitonsFilterPolicy(true, {L"bak."}), L"old.bak"));
}

TEST(JobFilter, IncludeAndExcludeModes) {
    ExtensitonsFilterPolicy include(true, {L"doc", L"*.xls"});
    ExtensitonsFilterPolicy exclude(false, {L"doc", L"*.xls"});
    for (const wchar_t* name : {L"a.doc", L"b.XLS", L"c.txt", L"doc"}) {
        bool listed = std::wstring(name) != L"c.txt";
        EXPECT_EQ(include.isInclude(name), listed) << name;
        EXPECT_EQ(exclude.isInclude(name), !listed) << name;
    }
}

TEST(JobFilter, NoUsableExtensionLetsEverythingPassInBothModes) {
    for (bool mode : {true, false}) {
        for (const auto& list :
             std::vector<std::vector<std::wstring>>{{}, {L"*.*"}, {L""}, {L"*", L".", L"..**"}}) {
            ExtensitonsFilterPolicy filter(mode, list);
            EXPECT_TRUE(filter.isInclude(L"any.thing")) << mode << " " << list.size();
            EXPECT_TRUE(filter.isInclude(L"")) << mode;
        }
    }
    // The skipped forms do not disturb the others.
    ExtensitonsFilterPolicy mixed(false, {L"*.*", L"", L"tmp"});
    EXPECT_FALSE(mixed.isInclude(L"x.tmp"));
    EXPECT_TRUE(mixed.isInclude(L"x.txt"));
}

TEST(JobFilter, CaseOfNonAsciiExtensions) {
    ExtensitonsFilterPolicy filter(true, {L"*.ÄÖ"});
    EXPECT_TRUE(filter.isInclude(L"datei.äö"));
    EXPECT_TRUE(filter.isInclude(L"DATEI.ÄÖ"));
    EXPECT_FALSE(filter.isInclude(L"datei.ao"));
    ExtensitonsFilterPolicy cjk(true, {L"日本"});
    EXPECT_TRUE(cjk.isInclude(L"写真.日本"));
}

TEST(JobFilter, CopiesShareTheExtensionsAndOutliveTheOriginal) {
    auto original =
        std::make_unique<ExtensitonsFilterPolicy>(false, std::vector<std::wstring>{L"tmp"});
    ExtensitonsFilterPolicy copy(*original);
    ExtensitonsFilterPolicy assigned(true, {L"jpg"});
    assigned = *original;
    ExtensitonsFilterPolicy& same = assigned;
    assigned = same;  // assigned to itself
    original.reset();
    EXPECT_FALSE(copy.isInclude(L"a.tmp"));
    EXPECT_TRUE(copy.isInclude(L"a.jpg"));
    EXPECT_FALSE(assigned.isInclude(L"a.tmp"));  // the mode came along
    EXPECT_TRUE(assigned.isInclude(L"a.jpg"));
    FilterPolicy* through_base = new ExtensitonsFilterPolicy(copy);
    EXPECT_FALSE(through_base->isInclude(L"b.TMP"));
    delete through_base;  // the virtual destructor
}

TEST(JobFilter, FactoryTypes) {
    EXPECT_EQ(FilterPolicyFactory::create(0, {L"jpg"}), nullptr);
    EXPECT_EQ(FilterPolicyFactory::create(3, {L"jpg"}), nullptr);
    EXPECT_EQ(FilterPolicyFactory::create(-1, {L"jpg"}), nullptr);
    std::unique_ptr<FilterPolicy> include(FilterPolicyFactory::create(1, {L"jpg"}));
    std::unique_ptr<FilterPolicy> exclude(FilterPolicyFactory::create(2, {L"jpg"}));
    ASSERT_TRUE(include && exclude);
    EXPECT_NE(dynamic_cast<ExtensitonsFilterPolicy*>(include.get()), nullptr);
    EXPECT_TRUE(include->isInclude(L"a.jpg"));
    EXPECT_FALSE(include->isInclude(L"a.png"));
    EXPECT_FALSE(exclude->isInclude(L"a.jpg"));
    EXPECT_TRUE(exclude->isInclude(L"a.png"));
}

TEST(JobFilter, FactoryFromBackupDefinitions) {
    auto definition = [](const std::string& filter) {
        json_spirit::Value value;
        json_spirit::read_or_throw(
            R"({"type":"backup","name":"n","source":["C:/a"])" + filter + "}", value);
        BackupJobDefinition out;
        EXPECT_TRUE(out.fromJSON(value));
        return out;
    };
    EXPECT_EQ(FilterPolicyFactory::create(definition("")), nullptr);
    std::unique_ptr<FilterPolicy> include(
        FilterPolicyFactory::create(definition(R"(,"inclusion":["doc","*.c++"])")));
    ASSERT_TRUE(include);
    EXPECT_TRUE(include->isInclude(L"x.c++"));
    EXPECT_FALSE(include->isInclude(L"x.txt"));
    std::unique_ptr<FilterPolicy> exclude(
        FilterPolicyFactory::create(definition(R"(,"exclusion":["tmp"])")));
    ASSERT_TRUE(exclude);
    EXPECT_FALSE(exclude->isInclude(L"x.tmp"));
    EXPECT_TRUE(exclude->isInclude(L"x.doc"));
}
