#include "plandeck/restore_job_definition.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"

RestoreJobDefinition::RestoreJobDefinition()
    : JobDefinition(Restore),
      overwrite_(0),
      offline_(false),
      totalsize_(0),
      totaldirectories_(0),
      totalfiles_(0) {}

RestoreJobDefinition::~RestoreJobDefinition() = default;

namespace {

// Takes a non-negative integer member as a 64-bit count; anything else keeps the field.
void read_count(const json_spirit::Object& object, const char* key, uint64_t& field) {
    auto it = object.find(key);
    if (it == object.end() || it->second.type() != json_spirit::int_type) return;
    if (it->second.is_uint64())
        field = it->second.get_uint64();
    else if (it->second.get_int64() >= 0)
        field = static_cast<uint64_t>(it->second.get_int64());
}

json_spirit::Value count_value(uint64_t count) {
    return json_spirit::Value(static_cast<unsigned long long>(count));
}

}  // namespace

bool RestoreJobDefinition::fromJSON(const json_spirit::Value& value) {
    ACE_TRACE("RestoreJobDefinition::fromJSON");
    if (!JobDefinition::fromJSON(value)) return false;
    if (type_ != Restore) {  // the class must agree with the type it reports
        log_message(LM_ERROR, "The job definition is not a restore job definition.\n");
        return false;
    }
    const json_spirit::Object& object = value.get_obj();
    json_spirit::object_get(object, "instanceId", instanceId_);
    overwrite_ = Skip;
    std::string existing;
    if (json_spirit::object_get(object, "existing", existing)) {
        if (existing == "overwrite")
            overwrite_ = Overwrite;
        else if (existing == "rename")
            overwrite_ = Rename;
    }
    std::string location;
    if (json_spirit::object_get(object, "location", location))
        location_ = from_utf8(location);
    else
        location_.clear();
    offline_ = false;
    json_spirit::object_get(object, "offline_restore", offline_);
    read_count(object, "totalsize", totalsize_);
    read_count(object, "totaldirectories", totaldirectories_);
    read_count(object, "totalfiles", totalfiles_);
    return true;
}

bool RestoreJobDefinition::toJSON(json_spirit::Value& value) const {
    ACE_TRACE("RestoreJobDefinition::toJSON");
    json_spirit::Value base;
    if (!JobDefinition::toJSON(base)) return false;
    json_spirit::Object& object = base.get_obj();
    object["instanceId"] = instanceId_;
    object["existing"] = overwrite_ == Overwrite ? "overwrite"
                         : overwrite_ == Rename  ? "rename"
                                                 : "skip";
    if (offline_) object["offline_restore"] = true;
    if (!location_.empty()) object["location"] = to_utf8(location_);
    object["totalsize"] = count_value(totalsize_);
    object["totaldirectories"] = count_value(totaldirectories_);
    object["totalfiles"] = count_value(totalfiles_);
    value = std::move(base);
    return true;
}
