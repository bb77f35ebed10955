// Job events: one JSON text per change of a job's state or per error, built
// when the event is made and tagged with the user who owns the job (an empty
// tag: for every observer). A producer allocates an event and hands it to the
// notification manager, which owns it from then on.
#pragma once

#include <string>

#include "common/json.h"

class Notify_Event {
public:
    // A null user gives an empty tag.
    Notify_Event(const std::string& event, const char* user);
    // The compact JSON text of value.
    Notify_Event(const json_spirit::Value& value, const char* user);
    Notify_Event(const Notify_Event&) = default;
    Notify_Event& operator=(const Notify_Event&) = default;
    virtual ~Notify_Event();

    const std::string& event() const { return event_; }
    const std::string& get_user() const { return user_; }
    const std::string& set_user(const std::string& user) { return user_ = user; }

protected:
    Notify_Event() = default;

    std::string event_;
    std::string user_;
};

// {"id", "name", "state"}: a job's new state. user, id and name must not be
// null (user may be empty).
class Event_State : public Notify_Event {
public:
    Event_State(const char* user, const char* id, const wchar_t* name, unsigned int state);
};

// {"error-code", "id", "name", "reason", "state"}: an error of a job in the
// given state; a null reason gives "".
class Event_Job_Error : public Notify_Event {
public:
    Event_Job_Error(const char* user, const char* id, const wchar_t* name, unsigned int state,
                    int errorCode, const char* reason);
};

// The end of the stream: an empty text with an empty tag.
class Event_End : public Notify_Event {
public:
    Event_End() = default;
};
