// Conversions between UTF-16 (wide) and UTF-8 (narrow) text.
//
// The length rule: every length counts the terminating NUL (pass -1 for a
// NUL-terminated text, or the character count plus one). The result is the
// count the API reports, terminator included; the string forms hold one unit
// less. A length that does not count the terminator therefore loses the last
// character ("abc" with length 3 gives "ab"). Failures give 0 and an empty
// string or a null buffer; nothing throws but allocation.
#pragma once

#include <string>

int to_utf8(const wchar_t* text, int length, std::string& out);
std::string to_utf8(const wchar_t* text, int length);
std::string to_utf8(const std::wstring& text);

int from_utf8(const char* text, int length, std::wstring& out);
std::wstring from_utf8(const char* text, int length);
std::wstring from_utf8(const std::string& text);

// *out becomes a new array (free with delete[]), or null when the count is 0.
int from_utf8_buffer(const char* text, int length, wchar_t** out);
int to_utf8_buffer(const wchar_t* text, int length, char** out);
