// Reads any bytes as a JSON text with the common reader, from a string and
// from a stream. Whatever it takes must come out of both the same, and its
// compact and formatted forms must read back to the same value; whatever it
// refuses must leave the value as it was.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    json_spirit::Value value("untouched");
    bool taken = json_spirit::read(text, value);
    std::istringstream stream(text);
    json_spirit::Value streamed("untouched");
    require(json_spirit::read(stream, streamed) == taken);
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
