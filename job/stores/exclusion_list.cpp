#include "job/stores/exclusion_list.h"

#include <algorithm>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/text_conv.h"

ATL::CComAutoCriticalSection ExclusionList::s_locker;

namespace {

class Locked {
public:
    Locked() { ExclusionList::s_locker.Lock(); }
    ~Locked() { ExclusionList::s_locker.Unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

// The file's path in UTF-8; empty when the data folder cannot be named.
std::string exclusions_path() {
    std::wstring folder;
    if (!common_appdata_path(folder, tovel::kDataSubFolder)) return std::string();
    std::wstring file;
    return to_utf8(path_join(folder.c_str(), L"exclusions", file));
}

}  // namespace

ExclusionList::ExclusionList() {
    std::string file = exclusions_path();
    Locked locked;
    load(file.c_str());
}

ExclusionList::~ExclusionList() {
    if (changed_) save();
}

bool ExclusionList::save() {
    Locked locked;
    if (!JSONStorage::save()) return false;
    changed_ = false;
    return true;
}

void ExclusionList::addPath(const char* user, const char* path) {
    if (!user || !path) return;
    auto it = container.find(user);
    if (it == container.end()) {
        container.emplace(user, json_spirit::Value(json_spirit::Array{json_spirit::Value(path)}));
        changed_ = true;
        return;
    }
    if (it->second.type() != json_spirit::array_type) return;
    json_spirit::Array& paths = it->second.get_array();
    const json_spirit::Value added(path);
    if (std::find(paths.begin(), paths.end(), added) != paths.end()) return;
    paths.push_back(added);
    changed_ = true;
}

void ExclusionList::removePath(const char* user, const char* path) {
    if (!user || !path) return;
    auto it = container.find(user);
    if (it == container.end() || it->second.type() != json_spirit::array_type) return;
    json_spirit::Array& paths = it->second.get_array();
    const json_spirit::Value wanted(path);
    auto kept = std::remove(paths.begin(), paths.end(), wanted);
    if (kept != paths.end()) {
        paths.erase(kept, paths.end());
        changed_ = true;
    }
}

bool ExclusionList::getList(const char* user, json_spirit::Value& out) const {
    if (!user) return false;
    auto it = container.find(user);
    if (it == container.end() || it->second.type() != json_spirit::array_type) return false;
    out = it->second;
    return true;
}
