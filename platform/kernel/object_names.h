// The names of the machine's named kernel objects as the layer keeps them in
// the objects folder. Internal to the layer.
#pragma once

#include <string>

namespace tovel::platform {

// The key of an object name, usable in a host file name: "Global\x" and
// "Local\x" stand as they are and a plain "x" is "Local\x" (names are
// case-sensitive); the name's bytes other than letters, digits, '_' and '-'
// become %XX. name is not null.
std::string object_key(const wchar_t* name);

}  // namespace tovel::platform
