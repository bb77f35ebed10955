// The agent's settings: the remote web server's address, the local web
// interface's login throttle, the timing of the update schedule and whether
// backups take a volume snapshot. One instance per process, reached through
// ATL::CComSingleton<OptionsImpl, ATL::CComAutoCriticalSection>::instance().
//
// The settings live in one JSON object, the file "options", formatted,
// UTF-8. It is read at construction from beside the running program (the
// folder of the process's executable, GetModuleFileNameW) when it is a file
// there, else from the data folder ("\morvask\Tovel\options" below the
// machine-wide application-data folder). Every change is written at once to
// the data folder and, when it can be, beside the program. Each write goes to
// a temporary file beside the file, is flushed and renamed over it, so a
// failed write leaves the old file whole. The files are readable and
// writable by their owner only. Keys the agent does not know are kept and written back.
// There is no reload: another process's change to the files is not seen and
// is overwritten by this one's next save.
//
// Every member may be called from any thread; each holds the object's lock
// for its whole run, file writes included, and takes no other lock.
#pragma once

#include <string>

#include "common/json.h"
#include "platform/threads/atl_singleton.h"

class OptionsImpl {
public:
    // Loads the settings (see init). A missing or bad file is logged and the
    // store runs on its defaults.
    OptionsImpl();
    ~OptionsImpl();
    OptionsImpl(const OptionsImpl&) = delete;
    OptionsImpl& operator=(const OptionsImpl&) = delete;

    // The process's store.
    static OptionsImpl* instance() {
        return ATL::CComSingleton<OptionsImpl, ATL::CComAutoCriticalSection>::instance();
    }

    // The remote web server: host from "webServerHost" ("" when missing, not
    // a text, or not a host that setServerInfo would take), port from
    // "webServerPort" (its low 16 bits; 80 when missing or not an integer),
    // name from "webServerName" (""). An empty host means no server is set.
    void getServerInfo(std::string& host, unsigned short& port) const;
    void getServerInfo(std::string& name, std::string& host, unsigned short& port) const;

    // Sets the remote web server and saves. host must be a host name (ASCII
    // letters, digits, hyphens and dots; labels of 1 to 63 characters that
    // neither start nor end with a hyphen; 253 characters at most; the last
    // label not all digits) or an IP literal: an IPv4 dotted quad (decimal,
    // no leading zeros) or an IPv6 address without brackets and without a
    // zone (as a socket address takes it; whoever writes it into a URL or a
    // Host header adds the brackets). A null or empty name keeps the stored
    // one. False with nothing changed (and nothing logged) for a null host, a
    // host that is none of these, or a port of 0; otherwise the result of the
    // save, the new values staying in memory even when the data file could
    // not be written.
    bool setServerInfo(const char* name, const char* host, unsigned short port);

    // The stored integer, or the default when the key is missing or not an
    // int: 5, 300 seconds, 600000 and 14400000 milliseconds.
    int loginRetrytimes() const;
    int loginAgainAfter() const;
    int update_start_at() const;
    int update_again_at() const;
    // Store the value brought into range (loginRetrytimes and loginAgainAfter:
    // 0 or less becomes 5 and 300; update_start_at at least 20000,
    // update_again_at at least 120000), save, and return the value stored,
    // whether or not the save succeeded.
    int loginRetrytimes(int value);
    int loginAgainAfter(int value);
    int update_start_at(int value);
    int update_again_at(int value);

    // "enableSnapshot" when it is a boolean, else false. Changed only by
    // editing the file.
    bool enableSnapshot() const;

    // The HTTP client's time-outs in milliseconds ("connectTimeout",
    // "sendTimeout", "receiveTimeout"): the stored integer when it is above
    // 0, else 30000, 60000 and 60000. Changed only by editing the file; the
    // store hands them to the HTTP client when it loads.
    int connectTimeout() const;
    int sendTimeout() const;
    int receiveTimeout() const;
    // The bound of one whole exchange: "exchangeTimeout" milliseconds
    // (180000), plus one second for every "exchangeMinRate" bytes (32768)
    // that the exchange is expected to carry; each the stored integer when it
    // is above 0. Changed only by editing the file; handed to the HTTP client
    // with the time-outs above.
    int exchangeTimeout() const;
    int exchangeMinRate() const;

protected:
    // Reads the program file when it is a file, else the data file, into the
    // object, and copies it into the data folder when it is not there yet.
    // False (logged at LM_ERROR, the object untouched) when neither exists or
    // the chosen one cannot be opened, is not JSON or is not an object.
    bool init();
    // Writes the object to the data file, and to the program file when one
    // can be written there (its failure is not reported). False, logged at
    // LM_ERROR with the last error kept, when the data file cannot be written
    // in full. Called with the lock held.
    bool save();

private:
    int get_int(const char* key, int fallback) const;
    int set_int(const char* key, int value);

    mutable ATL::CComAutoCriticalSection lock;
    json_spirit::Object options;
};
