// JSON record files kept whole in memory: one JSON value (an object for kind
// 0, an array for kind 1) tied to one file, read whole and written whole.
//
// Writing goes to a temporary file beside the record, is flushed to disk
// and then renamed over the record, so a failed or interrupted write never
// leaves the record truncated: the old file stays as it was.
//
// No lock is taken; each user serialises its own access.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/json.h"

template <int Kind, class Container>
class JSONStorage {
public:
    JSONStorage() = default;
    JSONStorage(const JSONStorage&) = default;
    JSONStorage& operator=(const JSONStorage&) = default;
    // Only releases memory: the classes built on this save in their own.
    virtual ~JSONStorage() = default;

    // A non-null path (UTF-8) becomes the stored path; then the file at the
    // stored path replaces the content. False for an empty stored path, a file
    // that cannot be opened or read, malformed JSON or a value of the other
    // kind; the content is then kept as it was. Never throws for bad input.
    bool load(const char* path);
    // Writes the content, formatted, to the stored path. False (and the old
    // file kept, the last error set) when the path is empty or the file cannot
    // be written in full.
    bool save();

    const Container& get() const { return container; }
    // Whether the content is tied to a file.
    bool bound() const { return !path.empty(); }
    // Unties the content from its file (after the file's folder went away):
    // nothing is saved until a load names a path again.
    void unbind() { path.clear(); }

protected:
    // The text that save writes: the content, formatted.
    virtual std::string formattedText() const;

    std::string path;
    Container container;
};

typedef JSONStorage<0, std::map<std::string, json_spirit::Value>> JSONObjectStorage;
typedef JSONStorage<1, std::vector<json_spirit::Value>> JSONArrayStorage;

extern template class JSONStorage<0, std::map<std::string, json_spirit::Value>>;
extern template class JSONStorage<1, std::vector<json_spirit::Value>>;
