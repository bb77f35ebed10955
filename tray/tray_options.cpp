#include "tray/tray_options.h"

#include <cstdint>
#include <vector>

#include "common/appdata_path.h"
#include "common/file_stream.h"
#include "common/text_conv.h"
#include "common/utf16le.h"

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

// The object at the end of keys, starting at value; null when a step is
// missing or not an object (value itself must be one).
const Object* walk(const Value& value, std::initializer_list<const std::wstring*> keys) {
    if (value.type() != json_spirit::obj_type) return nullptr;
    const Object* object = &value.get_obj();
    for (const std::wstring* key : keys) {
        auto found = object->find(to_utf8(*key));
        if (found == object->end() || found->second.type() != json_spirit::obj_type) return nullptr;
        object = &found->second.get_obj();
    }
    return object;
}

// A colour: an array of exactly three integers (never reals), red, green,
// blue, each giving its low 8 bits.
bool colour(const Object& object, const char* key, DWORD& out) {
    auto found = object.find(key);
    if (found == object.end() || found->second.type() != json_spirit::array_type) return false;
    const Array& parts = found->second.get_array();
    if (parts.size() != 3) return false;
    DWORD packed = 0;
    for (size_t i = 0; i < 3; ++i) {
        if (parts[i].type() != json_spirit::int_type) return false;
        uint64_t part = parts[i].is_uint64() ? parts[i].get_uint64()
                                             : static_cast<uint64_t>(parts[i].get_int64());
        packed |= static_cast<DWORD>(part & 0xFF) << (8 * i);
    }
    out = packed;
    return true;
}

bool colourPair(const Object* object, DWORD& border, DWORD& background) {
    DWORD b = 0;
    DWORD g = 0;
    if (!object || !colour(*object, "border", b) || !colour(*object, "background", g)) return false;
    border = b;
    background = g;
    return true;
}

bool font(const Object* object, DWORD& color, std::wstring& face, int& size) {
    if (!object) return false;
    DWORD c = 0;
    int s = 0;
    if (!colour(*object, "color", c) || !json_spirit::object_get(*object, "size", s)) return false;
    // A size no one could read (or one that would overflow the drawing's
    // arithmetic) is refused here, before any caller computes with it.
    if (s < TrayOptions::kMinFontPoints || s > TrayOptions::kMaxFontPoints) return false;
    auto faces = object->find("face");
    if (faces == object->end() || faces->second.type() != json_spirit::obj_type) return false;
    std::string name;
    if (!json_spirit::object_get(faces->second.get_obj(), face_language(GetUserDefaultLangID()),
                                 name))
        return false;
    color = c;
    face = from_utf8(name);
    size = s;
    return true;
}

const std::wstring kFrame = L"frame";
const std::wstring kItem = L"item";
const std::wstring kColor = L"color";
const std::wstring kFonts = L"fonts";
const std::wstring kJobPane = L"jobpane";
const std::wstring kClassify = L"classifypane";

}  // namespace

const char* face_language(LANGID language) { return language == 2052 ? "chs" : "enu"; }

bool read_json_file(Value& value, const wchar_t* path) {
    if (!path) return false;
    win32_file_tistream<char> in(path, nullptr);
    if (!in) return false;
    std::string bytes;
    char block[16384];
    try {
        while (in.read(block, sizeof block) || in.gcount() > 0) {
            bytes.append(block, static_cast<size_t>(in.gcount()));
            if (bytes.size() > TrayOptions::kMaxFileBytes) return false;
        }
    } catch (const std::exception&) {
        return false;  // the read failed in mid-file
    }
    if (in.bad()) return false;
    std::wstring text = from_utf16le(bytes.data(), bytes.size() / 2);
    size_t start = !text.empty() && (text[0] == 0xFEFF || text[0] == 0xFFFE) ? 1 : 0;
    std::string utf8 = to_utf8(text.c_str() + start, static_cast<int>(text.size() - start) + 1);
    return json_spirit::read(utf8, value);
}

bool TrayOptions::path(std::wstring& out) {
    std::wstring folder;
    if (!common_appdata_path(folder, L"\\morvask\\Tovel")) return false;
    path_join(folder.c_str(), L"tray.options", out);
    return true;
}

bool TrayOptions::load() {
    std::wstring file;
    if (!path(file)) {
        value_ = Value();
        return false;
    }
    return load(file.c_str());
}

bool TrayOptions::load(const wchar_t* path) {
    Value read;
    bool ok = read_json_file(read, path);
    value_ = ok ? std::move(read) : Value();
    return ok;
}

bool TrayOptions::frameColors(const std::wstring& section, DWORD& border, DWORD& background) const {
    return colourPair(walk(value_, {&section, &kFrame, &kColor}), border, background);
}

bool TrayOptions::itemColors(const std::wstring& section, const std::wstring& state, DWORD& border,
                             DWORD& background) const {
    return colourPair(walk(value_, {&section, &kItem, &kColor, &state}), border, background);
}

bool TrayOptions::itemFont(const std::wstring& section, const std::wstring& name, DWORD& color,
                           std::wstring& face, int& size) const {
    return font(walk(value_, {&section, &kItem, &kFonts, &name}), color, face, size);
}

bool TrayOptions::classifyPaneColors(const std::wstring& state, DWORD& border,
                                     DWORD& background) const {
    return colourPair(walk(value_, {&kJobPane, &kClassify, &kColor, &state}), border, background);
}

bool TrayOptions::classifyPaneFont(const std::wstring& name, DWORD& color, std::wstring& face,
                                   int& size) const {
    return font(walk(value_, {&kJobPane, &kClassify, &kFonts, &name}), color, face, size);
}
