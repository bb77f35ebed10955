// What a user configured for one job: which files, where to, when, how. The
// classes are shared with the job engine, the web interface and the tray;
// their field order and virtual slots are part of that contract. Objects
// belong to whoever made them or received them from the factory and are
// destroyed through the virtual destructor. Not thread-safe, but for the
// const members, which any threads may call at once (the items of a
// definition read from its file are made on the first call of source()).
#pragma once

#include <string>
#include <vector>

#include "common/json.h"
#include "plandeck/definition_items.h"
#include "platform/win32.h"

class JobDefinition {
public:
    enum Type { None = 0, Backup = 1, Restore = 2 };

    // Type 0 with a new id (36-character UUID text; empty when no UUID could be
    // made, in which case reading the definition from JSON fails unless the
    // JSON names an id).
    JobDefinition();
    JobDefinition(const JobDefinition&) = default;  // a copy is the same job, id included
    JobDefinition& operator=(const JobDefinition&) = default;
    virtual ~JobDefinition();

    // Reads the common members of the JSON form. False (with the reason
    // logged) for a value that is not a definition; the object may then be
    // partly filled. Never throws.
    virtual bool fromJSON(const json_spirit::Value& value);
    // The same for a definition file's value read with its "source" member
    // apart (json_spirit::read_or_throw with a spared member): the items are
    // the texts of sources, which the definition takes, made into paths only
    // when source() is first called.
    bool fromJSON(const json_spirit::Value& value, json_spirit::String_block&& sources);
    // Writes the JSON form; false for type 0.
    virtual bool toJSON(json_spirit::Value& value) const;

    const char* id() const { return id_.c_str(); }
    int type() const { return type_; }
    const wchar_t* machine() const { return machine_.c_str(); }
    // Empty: the job uses the remote service.
    const wchar_t* offlineLocation() const { return offlineLocation_.c_str(); }
    // The items. Those of a definition read from its file are made here by
    // the first call, on whichever thread makes it (see DefinitionItems): a
    // run's worker, or toJSON (the web interface's whole definition, a save).
    const std::vector<std::wstring>& source() const { return source_.paths(); }
    const char* user() const { return user_.c_str(); }
    // A null or empty name is ignored.
    void user(const char* name);
    // Local time (not UTC) of the definition's making.
    const FILETIME& creationTime() const { return creationTime_; }
    const wchar_t* name() const { return name_.c_str(); }

    // Writes the JSON form to the file, replacing it only once the whole new
    // text is on disk: a failure (false, logged) leaves the old file intact.
    bool save(const wchar_t* path) const;

    // True for an id that can name a folder and a kernel object: not empty and
    // without "..", '\', '/', ':' or control characters.
    static bool isSafeId(const std::string& id);
    // True for the 36-character text of a UUID (8-4-4-4-12 hexadecimal digits
    // of either case): the only ids the job engine gives folders, records and
    // kernel objects.
    static bool isUuidText(const char* id);
    // The one spelling of a job id: its UUID text in lower case, which names
    // the job's folder, record and timers everywhere. False (out untouched)
    // for an id that is not UUID text.
    static bool normalisedId(const char* id, std::string& out);

protected:
    explicit JobDefinition(int type);

    std::string id_;
    int type_;
    std::wstring machine_;
    std::wstring offlineLocation_;
    plandeck::DefinitionItems source_;
    std::string user_;
    FILETIME creationTime_;
    std::wstring name_;

private:
    // The items read apart, while the two-argument fromJSON runs.
    json_spirit::String_block* apart_ = nullptr;
};
