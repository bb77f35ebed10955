// The one codec of the formats that are defined as UTF-16LE (activity record
// names, source records, data headers, wide text files). In memory, wide text
// holds one code point per wchar_t; on disk, characters above U+FFFF take a
// surrogate pair, and sizes count UTF-16 units.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The number of UTF-16 units of the text.
size_t utf16_length(std::wstring_view text);

// Appends the UTF-16LE bytes of the text (no terminator) to out.
void append_utf16le(std::wstring_view text, std::string& out);
std::string to_utf16le(const std::wstring& text);

// Decodes units UTF-16 units from bytes; pairs combine, a lone surrogate is
// kept as its unit so that nothing is lost.
std::wstring from_utf16le(const void* bytes, size_t units);
