// The definition of a restore job: the common part, the backup run to restore
// from, where to and what to do with existing files.
#pragma once

#include <cstdint>

#include "plandeck/job_definition.h"

class RestoreJobDefinition : public JobDefinition {
public:
    enum Existing { Skip = 1, Overwrite = 2, Rename = 3 };

    RestoreJobDefinition();
    RestoreJobDefinition(const RestoreJobDefinition&) = default;
    RestoreJobDefinition& operator=(const RestoreJobDefinition&) = default;
    ~RestoreJobDefinition() override;

    bool fromJSON(const json_spirit::Value& value) override;
    bool toJSON(json_spirit::Value& value) const override;

    // The job instance (backup run) restored from; empty when none.
    const char* instanceId() const { return instanceId_.c_str(); }
    // 1 skip, 2 overwrite, 3 rename (0 only before the definition was read).
    int overwrite() const { return overwrite_; }
    // Empty: every file goes back to the folder it was backed up from.
    const wchar_t* location() const { return location_.c_str(); }
    bool is_offline() const { return offline_; }
    uint64_t totalsize() const { return totalsize_; }
    uint64_t totaldirectories() const { return totaldirectories_; }
    uint64_t totalfiles() const { return totalfiles_; }
    uint64_t totalsize(uint64_t value) { return totalsize_ = value; }
    uint64_t totaldirectories(uint64_t value) { return totaldirectories_ = value; }
    uint64_t totalfiles(uint64_t value) { return totalfiles_ = value; }

protected:
    std::string instanceId_;
    int overwrite_;
    std::wstring location_;
    bool offline_;
    uint64_t totalsize_;
    uint64_t totaldirectories_;
    uint64_t totalfiles_;
};
