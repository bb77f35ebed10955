// How job folders come and go so that a kill never leaves half a job: a new
// job's folder is made and filled in the staging folder beside the jobs
// folder and renamed into place whole; a removed job's folder is renamed out
// of the jobs folder before it is deleted; a folder that holds no job is
// moved aside into the quarantine folder, never deleted. The engine's start
// empties the staging folder. Any thread; callers serialise work on one job.
#pragma once

#include <string>

#include "plandeck/job_definition.h"

// The folder of a job (its id as given) in the jobs folder; empty when the
// data folder cannot be named.
std::wstring job_folder(const char* id);

// Makes the job folder of a new job with its "def" written and flushed, in
// the staging folder, and renames it into the jobs folder. It never replaces
// anything: false with ERROR_ALREADY_EXISTS when the jobs folder holds a
// folder of that id already (which is left as it is), or with the error of
// the failing step; the staging copy is then gone.
bool place_new_job_folder(const JobDefinition& definition);

// Moves a folder into the staging folder and deletes it there, so that it
// leaves its place at once and whole; a folder that cannot be moved is
// deleted in place. Returns rm_rf's code (0 when it is gone).
DWORD discard_job_folder(const std::wstring& folder);

// Moves a folder of the jobs folder whole into the quarantine folder, named
// "<name>-<local FILETIME>". False (logged, the folder left where it was)
// when it cannot be moved.
bool quarantine_job_folder(const std::wstring& folder, const std::wstring& name);

// Deletes whatever the staging folder holds (half-made and half-removed job
// folders of an earlier process). For the engine's start only.
void empty_job_staging();
