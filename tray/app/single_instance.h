// One tray per user logon session: the first tray makes a named event and
// holds it while it runs; a tray that finds it leaves.
#pragma once

#include "platform/win32.h"

// The event's name. It has no "Global\" prefix, so each user has their own.
inline constexpr wchar_t kInstanceEventName[] = L"{449E16C5-30AA-4a71-A320-F851D9F6AF5D}";

enum class InstanceClaim {
    first,          // this tray runs: event holds the instance event
    another,        // another tray runs (the event was found, or made at the same time)
    open_failed,    // the event could not be opened for another reason than its absence
    create_failed,  // the event could not be made
};

// Opens the instance event and makes it when none lives; each outcome but
// `first` is logged with its message and leaves event null. With `first`
// the caller owns event and closes it when the tray ends. A tray that makes
// the event just after another made it (two trays started together) sees
// ERROR_ALREADY_EXISTS and leaves too. afterOpen, for tests, runs between
// the failed open and the creation. Main thread.
InstanceClaim claim_instance(HANDLE& event, void (*afterOpen)() = nullptr);
