#include "job/core/job_state.h"

#include <cstring>

namespace {

struct StateName {
    int state;
    const char* name;
};

const StateName kStateNames[] = {
    {JS_NONE, "none"},
    {JS_IDLE, "idle"},
    {JS_STARTING, "starting"},
    {JS_RUNNING, "running"},
    {JS_COMPLETING, "completing"},
    {JS_PAUSING, "pausing"},
    {JS_PAUSED, "paused"},
    {JS_COMPLETED, "completed"},
    {JS_CANCELING, "canceling"},
    {JS_CANCELLED, "cancelled"},
    {JS_ERROR, "error"},
    {JS_CREATED, "created"},
    {JS_UPDATED, "updated"},
    {JS_UNLOADED, "unloaded"},
    {JS_DELETED, "deleted"},
    {0, nullptr},
};

}  // namespace

const char* jobStateToString(int state) {
    for (const StateName* entry = kStateNames; entry->name; ++entry)
        if (entry->state == state) return entry->name;
    return "none";
}

int jobStateFromString(const char* name) {
    if (!name || !*name) return JS_NONE;
    for (const StateName* entry = kStateNames; entry->name; ++entry)
        if (std::strcmp(entry->name, name) == 0) return entry->state;
    return JS_NONE;
}
