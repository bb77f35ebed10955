// The definition of a backup job: the common part, its schedule and filter.
#pragma once

#include "plandeck/job_definition.h"
#include "plandeck/schedule.h"

class BackupJobDefinition : public JobDefinition {
public:
    enum Filter { NoFilter = 0, IncludeExtensions = 1, ExcludeExtensions = 2 };

    BackupJobDefinition();
    BackupJobDefinition(const BackupJobDefinition&) = default;
    BackupJobDefinition& operator=(const BackupJobDefinition&) = default;
    ~BackupJobDefinition() override;

    bool fromJSON(const json_spirit::Value& value) override;
    bool toJSON(json_spirit::Value& value) const override;

    const Schedule& schedule() const { return schedule_; }
    // 0 no extension filter, 1 the extensions are an inclusion list, 2 an exclusion list.
    int include() const { return include_; }
    const std::vector<std::wstring>& extensions() const { return extensions_; }
    bool compression() const { return compression_; }
    int retention() const { return retention_; }
    // The "offline_backup" flag, kept as given; the storage is chosen by offlineLocation().
    bool is_offline() const { return offline_; }

protected:
    // Replaces the extensions by the pieces of a UTF-8 text split at any of ",; \r\n\t".
    void fillExtensions(const std::string& text);

    Schedule schedule_;
    int include_;
    std::vector<std::wstring> extensions_;
    bool compression_;
    int retention_;
    bool offline_;
};
