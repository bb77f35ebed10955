#include "plandeck/backup_job_definition.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"

BackupJobDefinition::BackupJobDefinition()
    : JobDefinition(Backup),
      include_(NoFilter),
      compression_(false),
      retention_(0),
      offline_(false) {}

BackupJobDefinition::~BackupJobDefinition() = default;

void BackupJobDefinition::fillExtensions(const std::string& text) {
    extensions_.clear();
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, text, boost::algorithm::is_any_of(",; \r\n\t"),
                            boost::algorithm::token_compress_on);
    for (const auto& piece : pieces)
        if (!piece.empty()) extensions_.push_back(from_utf8(piece));
}

bool BackupJobDefinition::fromJSON(const json_spirit::Value& value) {
    ACE_TRACE("BackupJobDefinition::fromJSON");
    if (!JobDefinition::fromJSON(value)) return false;
    if (type_ != Backup) {  // the class must agree with the type it reports
        log_message(LM_ERROR, "The job definition is not a backup job definition.\n");
        return false;
    }
    const json_spirit::Object& object = value.get_obj();

    auto inclusion = object.find("inclusion");
    auto exclusion = object.find("exclusion");
    const json_spirit::Value* filter = nullptr;
    if (inclusion != object.end()) {
        include_ = IncludeExtensions;
        filter = &inclusion->second;
    } else if (exclusion != object.end()) {
        include_ = ExcludeExtensions;
        filter = &exclusion->second;
    } else {
        include_ = NoFilter;
    }
    extensions_.clear();
    if (filter) {
        if (filter->type() != json_spirit::array_type) {
            log_message(LM_ERROR, "Invalid extension of job definition.\n");
            return false;
        }
        for (const auto& element : filter->get_array())
            if (element.type() == json_spirit::str_type)
                extensions_.push_back(from_utf8(element.get_str()));
    }

    compression_ = false;
    json_spirit::object_get(object, "compression", compression_);
    retention_ = 0;
    json_spirit::object_get(object, "retention", retention_);
    offline_ = false;
    json_spirit::object_get(object, "offline_backup", offline_);

    auto schedule = object.find("schedule");
    if (schedule == object.end()) return true;
    return schedule_.fromJSON(schedule->second);
}

bool BackupJobDefinition::toJSON(json_spirit::Value& value) const {
    ACE_TRACE("BackupJobDefinition::toJSON");
    json_spirit::Value base;
    if (!JobDefinition::toJSON(base)) return false;
    json_spirit::Object& object = base.get_obj();
    if (include_ == IncludeExtensions || include_ == ExcludeExtensions) {
        json_spirit::Array list;
        for (const auto& extension : extensions_) list.push_back(to_utf8(extension));
        object[include_ == IncludeExtensions ? "inclusion" : "exclusion"] = std::move(list);
    }
    object["compression"] = compression_;
    object["retention"] = retention_;
    if (offline_) object["offline_backup"] = true;
    json_spirit::Value schedule;
    if (!schedule_.toJSON(schedule)) return false;
    object["schedule"] = std::move(schedule);
    value = std::move(base);
    return true;
}
