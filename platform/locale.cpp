#include "platform/win/locale.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

LANGID GetUserDefaultLangID() {
    const char* name = nullptr;
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            name = value;
            break;
        }
    }
    if (!name) return 1033;
    if (std::strncmp(name, "zh_CN", 5) == 0) return 2052;
    if (std::strncmp(name, "de_DE", 5) == 0) return 1031;
    return 1033;
}
