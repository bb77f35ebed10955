// The items of a job definition, the paths it backs up or restores, made
// from paths, or from the UTF-8 texts of the definition's JSON form (as
// a definition file is read), which become paths ('/' turned into '\') only
// when paths() is first called: a job whose items nobody asks for never
// holds them as paths. Copies share the items, which are replaced whole,
// never changed. Every member may be called from any thread at once.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "common/json.h"

namespace plandeck {

class DefinitionItems {
public:
    DefinitionItems() = default;
    explicit DefinitionItems(std::vector<std::wstring> paths);
    explicit DefinitionItems(json_spirit::String_block texts);

    // The number of items, paths made or not.
    size_t size() const;
    bool empty() const { return size() == 0; }
    // The paths, made from the texts by the first call (which frees them);
    // the others wait for it. Throws std::bad_alloc when memory runs out, the
    // texts then kept for the next call.
    const std::vector<std::wstring>& paths() const;

private:
    struct Items;
    std::shared_ptr<Items> items_;
};

}  // namespace plandeck
