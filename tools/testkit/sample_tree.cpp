#include "tools/testkit/sample_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <system_error>

#include "tools/testkit/machine_fixture.h"

namespace tovel::testing {
namespace {

// Text that compresses well, n bytes long.
std::string text_of(size_t n) {
    std::string out;
    for (size_t line = 0; out.size() < n; ++line)
        out += "line " + std::to_string(line) + " of the sample text\r\n";
    out.resize(n);
    return out;
}

// Bytes that do not compress (the same at every call).
std::string noise_of(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
}

class Builder {
public:
    explicit Builder(const std::wstring& root) : root_(root) {}

    void folder(const std::wstring& relative) {
        SampleItem item = item_of(relative, true);
        std::error_code error;
        std::filesystem::create_directories(item.host_path, error);
        EXPECT_FALSE(error) << item.host_path << ": " << error.message();
        tree_.items.push_back(item);
    }

    void file(const std::wstring& relative, const std::string& bytes) {
        SampleItem item = item_of(relative, false);
        item.size = bytes.size();
        write_host_file(item.host_path, bytes);
        EXPECT_EQ(std::filesystem::file_size(item.host_path), bytes.size()) << item.host_path;
        tree_.items.push_back(item);
    }

    void link(const std::wstring& relative, const std::string& target) {
        std::error_code error;
        std::filesystem::create_directories(target, error);
        EXPECT_FALSE(error) << target << ": " << error.message();
        write_host_file(target + "/outside.txt", "not part of the tree\n");
        tree_.link = item_of(relative, true);
        tree_.link_target = target;
        std::filesystem::create_directory_symlink(target, tree_.link.host_path, error);
        EXPECT_FALSE(error) << tree_.link.host_path << ": " << error.message();
    }

    SampleTree take() {
        std::sort(tree_.items.begin(), tree_.items.end(),
                  [](const SampleItem& a, const SampleItem& b) {
                      return a.windows_path < b.windows_path;
                  });
        return std::move(tree_);
    }

private:
    SampleItem item_of(const std::wstring& relative, bool folder) const {
        SampleItem item;
        item.windows_path = relative.empty() ? root_ : root_ + L"\\" + relative;
        item.host_path = host_of(item.windows_path);
        item.folder = folder;
        return item;
    }

    std::wstring root_;
    SampleTree tree_;
};

}  // namespace

SampleTree make_sample_tree(const std::wstring& root) {
    std::wstring base = root;
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();
    EXPECT_FALSE(std::filesystem::exists(host_of(base))) << host_of(base);
    Builder tree(base);
    tree.folder(L"");
    tree.folder(L"empty");
    tree.folder(L"nested");
    tree.folder(L"nested\\deeper");
    tree.folder(L"nested\\deeper\\deepest");
    tree.folder(L"nested\\deeper\\deepest\\empty too");
    tree.folder(L"\u65e5\u672c\u8a9e");  // 日本語
    tree.file(L"zero.bin", "");
    tree.file(L"sixteen bytes.txt", "exactly 16 bytes");
    tree.file(L"Gr\u00fc\u00dfe.txt", "Gr\u00fc\u00dfe aus dem Test\n");  // Grüße.txt, UTF-8
    tree.file(L"nested\\large.txt", text_of(2 * 1024 * 1024 + 1));
    tree.file(L"nested\\deeper\\noise.bin", noise_of(300 * 1024 + 7, 20240611));
    tree.file(L"nested\\deeper\\deepest\\leaf.txt", "a leaf at the bottom of the tree\n");
    // 日本語\データ.bin
    tree.file(L"\u65e5\u672c\u8a9e\\\u30c7\u30fc\u30bf.bin", noise_of(4099, 7));
    tree.link(L"outside link", host_of(base) + ".outside");
    return tree.take();
}

const SampleItem* find_item(const SampleTree& tree, const std::wstring& windows_path) {
    for (const SampleItem& item : tree.items)
        if (item.windows_path == windows_path) return &item;
    return nullptr;
}

}  // namespace tovel::testing
