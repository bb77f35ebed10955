// The source list of a backup run: the walk of its volumes through the
// definition's filter, cut down by the remote service's increment check, and
// written to the job's source file ("act\src"). A resumed run whose source
// file exists keeps it.
//
// The check sends every candidate path with its last-write time and reads
// back the paths to back up. Lists of many files make both texts large (a
// home folder of 150 000 files gives about 18 MB each way), so neither is
// ever held whole: the candidates wait in a work file beside the source file
// (candidate_list_path, see job/sources/candidate_list.h), the request is sent from
// a second one that the walk writes, and the reply is read element by
// element as it arrives, choosing only items that the run offered. The reply's bound
// follows the size of the list sent, and the exchange's deadline the bytes it
// carries. The source list holds the chosen items with the attributes that
// the walk read.
//
// Runs on the job's worker thread.
#pragma once

// The request layer brings ACE, whose headers must come before the platform layer's.
#include "job/remote/remote_requests.h"
//
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/file_stream.h"
#include "job/core/job_activity.h"
#include "job/core/web_client_event_handler.h"
#include "job/sources/activity_source.h"
#include "job/sources/source_walker.h"
#include "plandeck/backup_job_definition.h"

// The reply of the increment check: each string element of the reply array
// goes to take() as it is read, in order (kept in paths without one).
class Path_List {
public:
    std::function<void(const std::string&)> take;
    std::vector<std::string> paths;
    bool array = false;  // the reply was a JSON array
};

// Reads the reply as it arrives (see json_spirit::read_string_array). 0 also
// for a reply that is JSON of another kind (array false) or no JSON at all
// (logged as a warning); -1 when the stream failed.
template <>
int Response_T<Path_List>::read(std::istream& in);

// A job's stop question as the HTTP client asks it.
class Handler_Stop_Check : public interrupter {
public:
    explicit Handler_Stop_Check(WebClientEventHandler& handler) : handler_(handler) {}
    bool interrupted() override { return handler_.stopRequested(0); }

private:
    WebClientEventHandler& handler_;
};

// What one run's source list is made from.
struct Source_List_Run {
    const char* jobId = nullptr;
    const char* user = nullptr;
    const BackupJobDefinition* definition = nullptr;
    const JobVolumeMap* volumes = nullptr;
    JobActivity* record = nullptr;
    // Asked while the check waits on the network; a stop ends the step with
    // ERROR_CANCELLED. May be null.
    interrupter* stop = nullptr;
};

// Builds the run's source list into sourceFile; true when it is ready to be
// read from the record's source list offset. False with the last error:
// the walk's, 0x200101F7 without a server, 0x20010191 without a session
// cookie (or when the service refused every cookie of the user),
// 0x2001025A without a candidate, the exchange's (ERROR_CANCELLED for a
// stop), 0x20010000 | status for a refusal, 0x20010258 for a reply that is
// no array. walkErrors receives the sources and folders the walk could not
// read.
bool build_source_list(const Source_List_Run& run, const std::wstring& sourceFile,
                       std::vector<std::pair<std::wstring, DWORD>>& walkErrors);

// The work file of the candidates of the source list at sourceFile, which
// the step removes when it ends (a run's clean-up removes one that a killed
// process left).
std::wstring candidate_list_path(const std::wstring& sourceFile);
