#include "plandeck/definition_items.h"

#include <mutex>
#include <utility>

#include "plandeck/json_paths.h"

namespace plandeck {

struct DefinitionItems::Items {
    size_t count;
    std::once_flag made;
    json_spirit::String_block texts;  // emptied once paths are made
    std::vector<std::wstring> paths;
};

DefinitionItems::DefinitionItems(std::vector<std::wstring> paths)
    : items_(std::make_shared<Items>()) {
    items_->count = paths.size();
    items_->paths = std::move(paths);
    std::call_once(items_->made, [] {});
}

DefinitionItems::DefinitionItems(json_spirit::String_block texts)
    : items_(std::make_shared<Items>()) {
    items_->count = texts.size();
    items_->texts = std::move(texts);
}

size_t DefinitionItems::size() const { return items_ ? items_->count : 0; }

const std::vector<std::wstring>& DefinitionItems::paths() const {
    static const std::vector<std::wstring> none;
    if (!items_) return none;
    Items& items = *items_;
    std::call_once(items.made, [&items] {
        std::vector<std::wstring> paths;
        paths.reserve(items.count);
        size_t begin = 0;
        for (size_t end : items.texts.ends) {
            paths.push_back(path_from_json(items.texts.texts.substr(begin, end - begin)));
            begin = end;
        }
        items.paths = std::move(paths);
        items.texts = json_spirit::String_block();
    });
    return items.paths;
}

}  // namespace plandeck
