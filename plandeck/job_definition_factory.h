// Builds job definitions of the right kind from JSON, from a definition file,
// by job id, or for every job folder. Every object returned belongs to the
// caller. Never throws; failures give null (logged where a file is involved).
// Any thread.
#pragma once

#include <vector>

#include "plandeck/job_definition.h"

class JobDefinitionFactory {
public:
    // By the value's "type" ("backup" or "restore").
    static JobDefinition* create(const json_spirit::Value& value);
    // From a definition file.
    static JobDefinition* create(const wchar_t* path);
    // From the definition file of the job with that id; null for an id that
    // is null or not safe (JobDefinition::isSafeId), logged.
    static JobDefinition* create(const char* jobId);
    // Appends the definition of every job folder that has a readable one, in
    // folder name order; out is not emptied first.
    static void create(std::vector<JobDefinition*>& out);
};
