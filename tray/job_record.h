// One job of the tray's job list: its definition, a read-only view of its
// live activity record (opened when the service has made it) and a cached
// copy of the record's base part, from which the list tells changes.
// Shared by the list and its readers through std::shared_ptr; the record
// itself belongs to the GUI thread.
#pragma once

#include <cstddef>

#include "job/core/job_activity.h"
#include "plandeck/job_definition.h"

class JobRecord {
public:
    // Takes the definition (may be null), deleted with the record.
    explicit JobRecord(JobDefinition* definition) : definition_(definition) {}
    // Unmaps the view when opened, then deletes the definition and the copy.
    ~JobRecord();
    JobRecord(const JobRecord&) = delete;
    JobRecord& operator=(const JobRecord&) = delete;

    // Opens the job's activity record read-only, once: true when opened (now
    // or before); false without a definition or while the service has not
    // made the record (the last error says why).
    bool open();

    JobDefinition* definition() const { return definition_; }
    // The live record (opening it first); null while it cannot be opened.
    JobActivity* activity();
    // The copy of the record's base part made by the last updateCache, or
    // null before the first. Only fields of the base part may be read.
    JobActivity* cachedActivity() const { return cached_; }
    // Copies the live record's base part into the cached copy; false when
    // there is no live record (it is not opened here).
    bool updateCache();

    // The state field of a record (its base part).
    static int state(const JobActivity* record) { return record->state.load(); }
    // Whether a card drawn from one record would look as drawn from the
    // other: the same state and the same pause or stop request. The service
    // sets a run's final state and clears its request in two stores, so a
    // copy can be taken between them.
    static bool looksAlike(const JobActivity* a, const JobActivity* b) {
        return a->state.load() == b->state.load() &&
               a->requestedTransition.load() == b->requestedTransition.load();
    }

private:
    JobDefinition* definition_;
    JobActivity* live_ = nullptr;
    JobActivityHandle handle_;
    bool opened_ = false;
    JobActivity* cached_ = nullptr;  // JobActivity::kBaseSize bytes
};
