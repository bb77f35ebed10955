// Wide text to UTF-8 for records that tell names apart by their text.
#pragma once

#include <string>

// The UTF-8 form of a NUL-terminated wide name in which no unit is lost, for records that tell
// names apart by their text (the error list of a run). Valid text comes out as to_utf8 gives
// it; a unit that is no character (a surrogate without its pair, as the name of a file whose
// name is no valid text holds) comes out as U+FFFD followed by the unit's four lower-case hex
// digits in braces ("bad\uFFFD{dcff}.txt"), so that two names that differ only in such units
// stay two. The result is always valid UTF-8. Null gives "".
std::string to_utf8_keeping_units(const wchar_t* text);
