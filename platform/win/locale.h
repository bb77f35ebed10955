// The user's language, from the POSIX locale of the process.
#pragma once

#include "platform/win/types.h"

typedef WORD LANGID;

// The language id of the locale named by LC_ALL, else LC_MESSAGES, else
// LANG: zh_CN 2052, de_DE 1031, en_* and C (or none) 1033; any other 1033.
LANGID GetUserDefaultLangID();
