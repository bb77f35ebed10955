// Headless Chromium showing one page for a test, driven by tools/browser/drive_page.js under
// node: the page reports through console lines that begin with "tovel:", which come back here.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tovel::testing {

class BrowserPage {
public:
    // Why pages cannot be shown here, or "" when they can: node, Chromium (/usr/bin/chromium or
    // TOVEL_CHROMIUM) and playwright-core in tools/browser (tools/setup.sh installs all three).
    static std::string missing();

    // Starts the browser and opens url; hosts are names that the browser resolves to 127.0.0.1.
    // A start that fails shows as a "failed ..." line.
    explicit BrowserPage(const std::string& url, const std::vector<std::string>& hosts = {});
    // Closes the browser (and kills what is left of it after 10 s) and reaps the driver.
    ~BrowserPage();
    BrowserPage(const BrowserPage&) = delete;
    BrowserPage& operator=(const BrowserPage&) = delete;

    // The next line of the driver (see drive_page.js) that begins with one of the prefixes;
    // the lines passed by are kept in lines(). "<timeout>" after timeoutMs, "<closed>" when the
    // driver has ended.
    std::string next(const std::vector<std::string>& prefixes, int timeoutMs);
    // Every line so far.
    const std::vector<std::string>& lines() const { return lines_; }

private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buffer_;
    std::vector<std::string> lines_;
    size_t looked_ = 0;  // lines_ before this one were handed to next() or passed by
};

}  // namespace tovel::testing
