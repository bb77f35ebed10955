// Builds job definitions of the right kind from JSON, from a definition file,
// by job id, or for every job folder. Every object returned belongs to the
// caller. Never throws; failures give null (logged where a file is involved).
// Any thread.
#pragma once

#include <vector>

#include "plandeck/job_definition.h"

class JobDefinitionFactory {
public:
    // Why a definition file gave no definition.
    enum class Failure {
        None,
        // The file could not be opened or read (a missing one included); the
        // last error says why. Its content is unknown: it may well hold a
        // definition that a later attempt reads.
        Unreadable,
        // The file was read whole and holds no definition (not JSON, or not a
        // valid definition); last error ERROR_INVALID_DATA.
        NotADefinition,
    };

    // By the value's "type" ("backup" or "restore").
    static JobDefinition* create(const json_spirit::Value& value);
    // From a definition file. The file is read and checked whole, but its
    // items stay texts until the definition's source() is first called.
    static JobDefinition* create(const wchar_t* path);
    // From a definition file, telling why there is none (failure is None when
    // a definition is returned).
    static JobDefinition* create(const wchar_t* path, Failure& failure);
    // From the definition file of the job with that id (UUID text of either
    // case, read from the folder of its lower-case spelling); null for an id
    // that is null or not UUID text, logged.
    static JobDefinition* create(const char* jobId);
    // Appends the definition of every job folder that has a readable one, in
    // folder name order; out is not emptied first. Only folders named by a
    // job id whose definition carries that id are taken.
    static void create(std::vector<JobDefinition*>& out);
};
