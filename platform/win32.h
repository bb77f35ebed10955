// The one header through which the system reaches Windows facilities. Here it
// declares the project's own POSIX realisation of them (see platform/).
#pragma once

#include "platform/win/errors.h"
#include "platform/win/locale.h"
#include "platform/win/files.h"
#include "platform/win/mapping.h"
#include "platform/win/module.h"
#include "platform/win/mutex.h"
#include "platform/win/process.h"
#include "platform/win/registry.h"
#include "platform/win/rpc.h"
#include "platform/win/security.h"
#include "platform/win/service.h"
#include "platform/win/shell.h"
#include "platform/win/sync.h"
#include "platform/win/text.h"
#include "platform/win/time.h"
#include "platform/win/types.h"
#include "platform/win/window.h"
#include "platform/win/winhttp.h"
#include "platform/win/winsock.h"
