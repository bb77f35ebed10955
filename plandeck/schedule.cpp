#include "plandeck/schedule.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <cstdio>

#include "common/ace_log_wrapper.h"

namespace {

struct TypeName {
    int type;
    const char* name;
};

const TypeName kTypeNames[] = {
    {Schedule::Once, "once"},       {Schedule::Daily, "daily"},   {Schedule::Weekly, "weekly"},
    {Schedule::Monthly, "monthly"}, {Schedule::Manual, "manual"}, {0, nullptr},
};

}  // namespace

const char* Schedule::typeName(int type) {
    for (const TypeName* entry = kTypeNames; entry->name; ++entry)
        if (entry->type == type) return entry->name;
    return nullptr;
}

bool Schedule::fromJSON(const json_spirit::Value& value) {
    ACE_TRACE("Schedule::fromJSON");
    if (value.type() != json_spirit::obj_type) {
        log_message(LM_ERROR, "Schedule is not a JSON object.\n");
        return false;
    }
    const json_spirit::Object& object = value.get_obj();
    std::string text;
    if (!json_spirit::object_get(object, "type", text)) return false;
    if (text == "once" || text == "manual") {
        type_ = text == "once" ? Once : Manual;
        return true;
    }
    if (text == "daily")
        type_ = Daily;
    else if (text == "weekly")
        type_ = Weekly;
    else if (text == "monthly")
        type_ = Monthly;
    else {
        log_message(LM_ERROR, "Invalid schedule type.\n");
        return false;
    }
    std::string start;
    if (!json_spirit::object_get(object, "startTime", start)) {
        log_message(LM_ERROR, "Invalid or lack of start time in schedule.\n");
        return false;
    }
    std::sscanf(start.c_str(), "%hd:%hd", &startHour_, &startMinute_);
    if (type_ == Daily) return true;
    return json_spirit::object_get(object, "day", value_);
}

bool Schedule::toJSON(json_spirit::Value& value) const {
    ACE_TRACE("Schedule::toJSON");
    const char* name = typeName(type_);
    if (!name) {
        log_message(LM_ERROR, "Invalid schedule type.\n");
        return false;
    }
    json_spirit::Object object;
    object["type"] = name;
    if (type_ != Once && type_ != Manual) {
        char start[16];
        std::snprintf(start, sizeof start, "%02hd:%02hd", startHour_, startMinute_);
        object["startTime"] = start;
    }
    if (type_ == Weekly || type_ == Monthly) object["day"] = value_;
    value = std::move(object);
    return true;
}
