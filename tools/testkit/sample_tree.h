// A sample tree of files and folders for backup and restore tests, made on
// the host side of the test machine: nested and empty folders, files of the
// sizes where the stored form has its edges (empty, one cipher block, one
// byte past a 2 MiB boundary), an incompressible file, non-ASCII names, a
// name with spaces, and a symbolic link that points out of the tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tovel::testing {

struct SampleItem {
    std::wstring windows_path;  // as a backup of the tree names it
    std::string host_path;
    bool folder = false;
    uint64_t size = 0;  // bytes of a file; 0 for a folder
};

struct SampleTree {
    // What a backup of the root must store: the root, every folder below it
    // and every regular file, sorted by Windows path. The link is not among
    // them.
    std::vector<SampleItem> items;
    // The symbolic link of the tree: it points at a host folder outside the
    // tree (link_target, holding one file). The source walk reports a link
    // as the reparse point it stands for and never follows it: this one, whose
    // target is a folder, comes as one folder entry with the directory and
    // reparse-point bits (0x410), and nothing of its target is walked, so a
    // backup records the link as a folder and stores nothing below it.
    SampleItem link;
    std::string link_target;
};

// Makes the tree under root (a Windows path of the test machine; its parents
// are made too, and it must not exist yet) and the link's target folder
// beside it. The contents are the same at every call. A failure is a test
// failure.
SampleTree make_sample_tree(const std::wstring& root);

// The item of items with that Windows path (exact comparison), or null.
const SampleItem* find_item(const SampleTree& tree, const std::wstring& windows_path);

}  // namespace tovel::testing
