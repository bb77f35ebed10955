// Resource texts with one place for a value. They come from files, so they
// are never used as printf formats: the value replaces their first "%s".
#pragma once

#include <string>

// The text with its first "%s" replaced by value; the text as it stands
// when it has none.
inline std::wstring fill_text(const std::wstring& text, const std::wstring& value) {
    size_t at = text.find(L"%s");
    if (at == std::wstring::npos) return text;
    return text.substr(0, at) + value + text.substr(at + 2);
}
