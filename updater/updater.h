// One run of the updater: it asks the remote web server for the md5 text and
// the size of the newest installer, compares the md5 text with the one the
// installed version left beside the updater, downloads the installer into
// the data folder's "updates" when they differ (resuming an earlier partial
// download whose progress lies in "updates\info"), checks it and starts it.
// One thread; one run per process.
#pragma once

#include <memory>
#include <string>

#include "common/installer_check.h"
#include "updater/update_client.h"

namespace tovel::updater {

class Updater {
public:
    // The connector is the remote web server of the agent's settings.
    Updater();
    explicit Updater(std::unique_ptr<ServerConnector> connector);

    // Opens the session and the connection, reads the installed, cached and
    // newest records. true when the server named an installer (md5 text and
    // a size above 0).
    bool init();
    // Whether the installed version differs from the newest.
    bool outdated() const;
    // Brings "updates\Tovel.exe" to the newest installer, resuming from the
    // saved offset: true when the file is complete.
    bool download();
    // Checks the installer (check_installer) and starts it when it passes;
    // else deletes it and resets the progress. true when started.
    bool install();
    // Closes the connection and the session.
    bool fini();

    const InstallerInfo& cached() const { return cached_; }
    const InstallerInfo& newest() const { return newest_; }
    const InstallerInfo& installed() const { return installed_; }

private:
    void installed_info();
    void cached_info();
    void newest_info();
    bool save_cached_info();
    // Forgets the download: the file deleted, the progress {0, 0, ""} saved.
    void discard_download();
    std::wstring installer_path() const { return folder_ + L"Tovel.exe"; }

    InstallerInfo cached_;
    InstallerInfo newest_;
    InstallerInfo installed_;
    std::wstring folder_;
    std::unique_ptr<ServerConnector> connector_;
};

// The program's body: logger set-up, the single-instance lock, one run.
// Always 0.
int run_update();

}  // namespace tovel::updater
