// A program that plays the service "TovelTestService" for the service
// control tests. It records what happens as lines of the file "service.log"
// under the machine's root:
//   "main <argc> <argv[0]>"          the service's main function started
//   "enter <code> <thread>"          the handler started ("dispatcher" when it
//   "leave <code>"                   runs on the thread that called the
//                                    dispatcher, else "other")
//   "main returned"                  300 ms after the service stopped
//   "dispatcher returned"
// Its handler: SERVICE_CONTROL_STOP reports SERVICE_STOP_PENDING, waits while
// the file "hold-stop" exists under the root and "release-stop" does not,
// then reports SERVICE_STOPPED and lets the main function return. 200 waits
// 200 ms before it leaves (a caller that did not wait for the handler would
// not find its "leave" line); 201 stops as STOP does, without waiting.
// A dispatcher that fails prints "dispatcher failed <code>" on standard
// error and ends the process with that code.
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/win32.h"

namespace {

char g_name[] = "TovelTestService";
pthread_t g_dispatcher;
SERVICE_STATUS_HANDLE g_handle = nullptr;
std::mutex g_lock;
std::condition_variable g_stopped_changed;
bool g_stopped = false;

std::string root_file(const char* name) {
    const char* root = std::getenv("TOVEL_ROOT");
    return std::string(root ? root : ".") + "/" + name;
}

bool exists(const char* name) {
    struct stat st;
    return ::stat(root_file(name).c_str(), &st) == 0;
}

void record(const std::string& line) {
    FILE* log = std::fopen(root_file("service.log").c_str(), "ae");
    if (!log) return;
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
}

void report(DWORD state, DWORD accepted, DWORD waitHint = 0) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWaitHint = waitHint;
    if (!SetServiceStatus(g_handle, &status))
        record("report failed " + std::to_string(GetLastError()));
}

void stop(bool mayHold) {
    report(SERVICE_STOP_PENDING, 0, 5000);
    while (mayHold && exists("hold-stop") && !exists("release-stop")) ::usleep(10000);
    report(SERVICE_STOPPED, 0);
    std::lock_guard<std::mutex> guard(g_lock);
    g_stopped = true;
    g_stopped_changed.notify_all();
}

void handler(DWORD code) {
    bool onDispatcher = pthread_equal(pthread_self(), g_dispatcher) != 0;
    record("enter " + std::to_string(code) + (onDispatcher ? " dispatcher" : " other"));
    if (code == SERVICE_CONTROL_STOP) stop(true);
    if (code == 201) stop(false);
    if (code == 200) ::usleep(200000);
    record("leave " + std::to_string(code));
}

void service_main(DWORD argc, LPSTR* argv) {
    record("main " + std::to_string(argc) + " " + argv[0]);
    g_handle = RegisterServiceCtrlHandlerA(g_name, handler);
    if (!g_handle) {
        record("register failed " + std::to_string(GetLastError()));
        return;
    }
    report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    std::unique_lock<std::mutex> guard(g_lock);
    g_stopped_changed.wait(guard, [] { return g_stopped; });
    // The service goes on shutting down after it reported SERVICE_STOPPED;
    // the process must not end meanwhile.
    guard.unlock();
    ::usleep(300000);
    record("main returned");
}

}  // namespace

int main() {
    g_dispatcher = pthread_self();
    SERVICE_TABLE_ENTRYA table[] = {{g_name, service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        DWORD error = GetLastError();
        std::fprintf(stderr, "dispatcher failed %u\n", error);
        return static_cast<int>(error);
    }
    record("dispatcher returned");
    return 0;
}
