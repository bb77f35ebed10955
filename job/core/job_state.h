// The numbers and names of a job's states, shared by every deliverable.
#pragma once

enum JobState {
    JS_NONE = 0,
    JS_IDLE = 1,
    JS_STARTING = 2,
    JS_RUNNING = 3,
    JS_COMPLETING = 4,
    JS_PAUSING = 5,
    JS_PAUSED = 6,
    JS_COMPLETED = 7,
    JS_CANCELING = 8,
    JS_CANCELLED = 9,
    JS_ERROR = 10,
    JS_CREATED = 11,   // event only: the job was created
    JS_UPDATED = 12,   // event only: the job's definition was replaced
    JS_DELETED = 13,   // event only: the job was removed
    JS_UNLOADED = 14,  // event only
};

// The name of a state; "none" for an unknown number.
const char* jobStateToString(int state);
// The number of an exactly matching (case-sensitive) name; 0 for null, empty
// or unknown.
int jobStateFromString(const char* name);
