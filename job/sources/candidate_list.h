// The candidates of a backup run's increment check: every item that the walk
// of the run's volumes found, kept as source records in a work file of the
// run rather than in memory. Of each item the list holds in memory only a
// hash of its path, the place of its record in the file and, once the reply
// names it, its place in the reply: a few dozen bytes, so that a tree of a
// million files costs a few dozen megabytes.
//
// The walk also writes the elements of the check's request body to a second
// work file, from which the body is sent as it stands. From the first comes
// the run's source list: the items that the reply names, in the reply's
// order, each once, with the attributes the walk read (those whose
// last-write times the check was asked about). Only paths that the
// walk found can be chosen: a reply names items, it cannot add any.
//
// Belongs to one run and is used from its worker thread only.
#pragma once

// The request layer brings ACE, whose headers must come before the platform layer's.
#include "wirekit/service_messages.h"
//
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/holders.h"
#include "job/sources/activity_source.h"
#include "job/sources/source_walker.h"

class CandidateList {
public:
    // file: the work file, made by walk() (replacing one a killed run left)
    // with the body's beside it (candidate_body_path), both removed by the
    // destructor.
    explicit CandidateList(std::wstring file);
    ~CandidateList();
    CandidateList(const CandidateList&) = delete;
    CandidateList& operator=(const CandidateList&) = delete;

    // Walks the volumes' sources (in their snapshots) through the filter
    // into the work file. False with the last error when the walk or the
    // file fails.
    bool walk(const JobVolumeMap& volumes, FilterPolicy* filter);
    // The items found, and what the walk could not take (see
    // JobActivitySourceGenerator::walkErrors).
    size_t size() const { return offsets_.size(); }
    const std::vector<std::pair<std::wstring, DWORD>>& walkErrors() const { return walkErrors_; }

    // The check's body, {"id": jobId, "source": [{"mtimeHigh", "mtimeLow",
    // "path"}, ...]} in compact JSON with sorted keys, one element per item
    // in the walk's order, read from the body's work file while it is sent.
    // Valid while this list is.
    Body_Source requestBody(const std::string& jobId);
    // The bytes of the items' paths as JSON strings, one separator each.
    uint64_t listBytes() const { return listBytes_; }

    // A path of the reply (UTF-8): the item of that exact path is chosen,
    // once; a path of no item is passed over.
    void choose(const std::string& path);
    size_t chosen() const { return chosen_.size(); }

    // Writes the chosen items, in the order chosen, as one set to the run's
    // source list at path (save_source_list), with ordinals counted anew from
    // 1, folders and files apart, and counts them. False with the last error
    // when the work file cannot be read or the list written.
    bool save(const std::wstring& path);
    uint32_t fileCount() const { return files_; }
    uint32_t directoryCount() const { return directories_; }
    uint64_t fileSize() const { return bytes_; }

private:
    struct Entry {
        uint64_t hash;
        uint32_t item;
    };
    // The item's record, read into out; false (last error set) when it
    // cannot be.
    bool read(JobActivitySourceReader& reader, uint32_t item, JobActivitySourceItem& out);
    void pick(uint32_t item);

    std::wstring file_;
    std::vector<uint64_t> offsets_;  // of each item's record, in walk order
    std::vector<Entry> index_;       // sorted by hash
    std::vector<uint32_t> chosen_;   // items in the reply's order
    std::vector<bool> picked_;
    std::vector<std::pair<std::wstring, DWORD>> walkErrors_;
    uint64_t bodyItems_ = 0;  // bytes of the body's elements with their commas
    uint64_t listBytes_ = 0;
    std::wstring bodyFile_;           // the body's elements, written by walk()
    scoped_handle sender_;            // the body's reader
    JobActivitySourceReader lookup_;  // for paths whose hashes meet
    uint32_t files_ = 0;
    uint32_t directories_ = 0;
    uint64_t bytes_ = 0;
};

// The work file beside the candidates' file that holds the request body's
// elements as the walk made them.
std::wstring candidate_body_path(const std::wstring& file);

// The JSON text of a UTF-8 string as the system's JSON writer makes it:
// quotes, back-slash escapes for the quote, the back-slash and the control
// characters (\b \t \n \f \r, else \u00xx), everything else as it stands.
void append_json_string(std::string& out, const std::string& text);
