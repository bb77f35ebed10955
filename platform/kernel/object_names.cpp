#include "platform/kernel/object_names.h"

#include "platform/kernel/host_names.h"

namespace tovel::platform {

std::string object_key(const wchar_t* name) {
    std::wstring text(name);
    if (text.rfind(L"Global\\", 0) != 0 && text.rfind(L"Local\\", 0) != 0) text = L"Local\\" + text;
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : host_name_from_wide(text.data(), text.size())) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

}  // namespace tovel::platform
