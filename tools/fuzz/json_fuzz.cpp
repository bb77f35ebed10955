// Reads any bytes as a JSON text with the common reader, from a string and
// from a stream. Whatever it takes must come out of both the same, and its
// compact and formatted forms must read back to the same value; whatever it
// refuses must leave the value as it was. The readers of a few members and
// of a spared array must take and refuse the same texts, and give what the
// whole tree holds.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "common/json.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

// The nesting of a value, which the reader bounds.
size_t depth_of(const json_spirit::Value& value) {
    size_t deepest = 0;
    if (value.type() == json_spirit::obj_type) {
        for (const auto& member : value.get_obj()) {
            size_t d = depth_of(member.second);
            if (d > deepest) deepest = d;
        }
        return deepest + 1;
    }
    if (value.type() == json_spirit::array_type) {
        for (const auto& element : value.get_array()) {
            size_t d = depth_of(element);
            if (d > deepest) deepest = d;
        }
        return deepest + 1;
    }
    return 0;
}

// What the tree holds at a place, a nested object or array emptied.
json_spirit::Value held_at(const json_spirit::Value& holder, const char* key) {
    using json_spirit::Value;
    if (holder.type() != json_spirit::obj_type) return Value();
    auto found = holder.get_obj().find(key);
    if (found == holder.get_obj().end()) return Value();
    if (found->second.type() == json_spirit::obj_type) return Value(json_spirit::Object());
    if (found->second.type() == json_spirit::array_type) return Value(json_spirit::Array());
    return found->second;
}

void check_members(const std::string& text, bool taken, const json_spirit::Value& tree) {
    json_spirit::Wanted_member wanted[] = {
        {nullptr, "a", {}}, {nullptr, "b", {}}, {nullptr, "o", {}}, {"o", "a", {}}, {"o", "c", {}},
    };
    const size_t count = sizeof wanted / sizeof wanted[0];
    int result = json_spirit::read_members(text, wanted, count);
    require(result == (!taken ? -1 : tree.type() == json_spirit::obj_type ? 1 : 0));
    if (result != 1) return;
    for (const auto& member : wanted) {
        json_spirit::Value expected;
        if (!member.within) {
            expected = held_at(tree, member.key);
        } else {
            auto outer = tree.get_obj().find(member.within);
            if (outer != tree.get_obj().end()) expected = held_at(outer->second, member.key);
        }
        require(member.value == expected);
    }
}

// A spared "s" member: its top-level strings apart, the member an empty
// array in the value, and everything else as read gives it.
void check_spared(const std::string& text, bool taken, const json_spirit::Value& tree) {
    if (taken && tree.type() != json_spirit::obj_type) return;
    json_spirit::Value value("untouched");
    json_spirit::String_block strings;
    try {
        json_spirit::read_or_throw(text, value, "s", strings);
    } catch (...) {
        require(!taken);
        return;
    }
    require(taken && value.type() == json_spirit::obj_type);
    auto whole = tree.get_obj().find("s");
    json_spirit::Value expected = tree;
    if (whole == tree.get_obj().end() || whole->second.type() != json_spirit::array_type) {
        require(strings.size() == 0);
    } else {
        size_t at = 0;
        size_t begin = 0;
        for (const auto& element : whole->second.get_array()) {
            if (element.type() != json_spirit::str_type) continue;
            require(at < strings.size());
            require(strings.texts.substr(begin, strings.ends[at] - begin) == element.get_str());
            begin = strings.ends[at++];
        }
        require(at == strings.size());
        expected.get_obj()["s"] = json_spirit::Value(json_spirit::Array());
    }
    require(value == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    json_spirit::Value value("untouched");
    bool taken = json_spirit::read(text, value);
    std::istringstream stream(text);
    json_spirit::Value streamed("untouched");
    require(json_spirit::read(stream, streamed) == taken);
    check_members(text, taken, value);
    check_spared(text, taken, value);
    if (!taken) {
        require(value == json_spirit::Value("untouched"));
        require(streamed == json_spirit::Value("untouched"));
        return 0;
    }
    require(streamed == value);
    require(depth_of(value) <= json_spirit::kMaxNesting);
    for (const std::string& written :
         {json_spirit::write(value), json_spirit::write_formatted(value)}) {
        json_spirit::Value again;
        require(json_spirit::read(written, again));
        require(again == value);
    }
    return 0;
}
