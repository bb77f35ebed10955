#include "job/core/notify_event.h"

#include "common/text_conv.h"
#include "job/core/job_state.h"

namespace {

json_spirit::Object state_object(const char* id, const wchar_t* name, unsigned int state) {
    json_spirit::Object object;
    object["id"] = id;
    object["name"] = to_utf8(name, -1);
    object["state"] = jobStateToString(static_cast<int>(state));
    return object;
}

}  // namespace

Notify_Event::Notify_Event(const std::string& event, const char* user)
    : event_(event), user_(user ? user : "") {}

Notify_Event::Notify_Event(const json_spirit::Value& value, const char* user)
    : event_(json_spirit::write(value)), user_(user ? user : "") {}

Notify_Event::~Notify_Event() = default;

Event_State::Event_State(const char* user, const char* id, const wchar_t* name,
                         unsigned int state) {
    event_ = json_spirit::write(state_object(id, name, state));
    user_ = user;
}

Event_Job_Error::Event_Job_Error(const char* user, const char* id, const wchar_t* name,
                                 unsigned int state, int errorCode, const char* reason) {
    json_spirit::Object object = state_object(id, name, state);
    object["error-code"] = errorCode;
    object["reason"] = reason ? reason : "";
    event_ = json_spirit::write(object);
    user_ = user;
}
