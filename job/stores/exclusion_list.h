// The paths that each user of the web interface has excluded (deleted from
// the backups, or left out of the consistent check): one JSON object in the
// file "exclusions" of the data folder, a member per user name whose value is
// the array of that user's paths (UTF-8, in the order they were first added,
// each once: a path excluded twice and removed once is no longer excluded).
//
// The web interface makes one list per request: the constructor reads the
// file, the request reads or changes its own copy, and save() and the
// destructor write the copy back once it was changed, so of two requests
// that change the list at once the later save wins unless each holds a Hold
// from before its load until after its save. Loading and saving hold the class-wide s_locker;
// the other members take no lock and act on the instance alone, which belongs
// to one thread at a time. User names and paths compare byte for byte.
#pragma once

#include <map>
#include <string>

#include "common/json.h"
#include "job/core/json_storage.h"
#include "platform/threads/atl_singleton.h"

class ExclusionList : public JSONStorage<0, std::map<std::string, json_spirit::Value>> {
public:
    // Loads the file under s_locker; a missing, unreadable or malformed file,
    // or one that holds no JSON object, gives an empty list.
    ExclusionList();
    ExclusionList(const ExclusionList&) = default;
    ExclusionList& operator=(const ExclusionList&) = default;
    // Saves the list under s_locker when an edit changed it since the load or
    // the last successful save (the result is not reported); a list that was
    // only read is never written back.
    ~ExclusionList() override;

    // Appends path to the user's array, which is made when the user has no
    // member, unless the array holds it already. A member that is no array is
    // left alone; a null user or path changes nothing.
    void addPath(const char* user, const char* path);
    // Removes every string of the user's array that equals path (a file
    // written before paths were kept once may hold one twice). Nothing changes
    // when there is none, the member is no array, or an argument is null.
    void removePath(const char* user, const char* path);
    // Copies the user's array into out: false, out untouched, when the user
    // has no array member or user is null.
    bool getList(const char* user, json_spirit::Value& out) const;
    // Writes the file under s_locker: false (last error set) when it cannot.
    bool save();

    // Held while any instance of the process loads or saves the file.
    static ATL::CComAutoCriticalSection s_locker;

    // Holds s_locker while it lives (re-entrant): a request that edits the list
    // holds it from before the load until after the save, so that no other
    // request's edit falls between the two and is lost.
    class Hold {
    public:
        Hold() { s_locker.Lock(); }
        ~Hold() { s_locker.Unlock(); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
    };

private:
    bool changed_ = false;
};
