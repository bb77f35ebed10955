// offline_run: runs one job of the engine to its end through the job manager,
// in the simulated machine of TOVEL_ROOT, as the agent would run it. The
// benchmark scripts time it and measure its memory.
//
//   offline_run backup --source WINPATH --offline WINPATH --port N
//                      --user NAME --cookie sid=TOKEN [options]
//
// runs one offline backup of the Windows folder --source into the offline
// folder --offline. The increment check goes to the remote service at
// 127.0.0.1:N, which must know the user and the session cookie (the
// simulator's --account and --cookie). Options:
//
//   --id UUID           the job's id (default: a new one)
//   --compression 0|1   compress the stored files (default 1)
//   --timeout S         give up after S seconds (default 3600)
//   --log FILE          the engine's log, every priority (default: warnings
//                       and errors on standard error)
//
//   offline_run restore --catalogue WINPATH --location WINPATH --port N
//                       --user NAME --cookie sid=TOKEN [options]
//
// restores every item of an offline backup run, whose catalogue is
// --catalogue ("<offline folder>\<instance>.cat"), below the folder
// --location, overwriting what is there. Options: --id, --timeout, --log.
//
// Exit status: 0 when the run ended "completed"; 1 when it ended in another
// state (printed); 2 for a wrong command line; 3 when the job could not be
// set up or submitted; 4 when it had not ended within the time-out.
//
// The driver times the run that its own submission starts: a job that ran
// before in the same machine (the same --id) runs again, and the driver waits
// for the end of that new run, not the earlier run's "completed" (so an
// unchanged re-run of a backup is measured as such). A run paused for the
// network and resumed later counts as the same run.
//
// Each mode only builds its job's definition from the command line: the
// submission, the wait for the end and the report are shared.
#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "common/text_conv.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_notify_manager.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/sources/activity_source.h"
#include "job/storage/ahead_pool.h"
#include "job/storage/local_backup_storage.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "plandeck/job_definition_factory.h"

namespace {

constexpr int kExitCompleted = 0;
constexpr int kExitOtherEnd = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSetup = 3;
constexpr int kExitTimeout = 4;

// Where the driver's own messages go: the standard error it was started with.
FILE* g_messages = stderr;

// The command line after the mode: "--name value" pairs.
class Arguments {
public:
    bool parse(int argc, char** argv, int from, std::string& error) {
        for (int i = from; i < argc; i += 2) {
            std::string name = argv[i];
            if (name.rfind("--", 0) != 0 || name.size() < 3) {
                error = "unexpected argument " + name;
                return false;
            }
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            values_[name.substr(2)] = argv[i + 1];
        }
        return true;
    }
    std::optional<std::string> get(const std::string& name) const {
        auto found = values_.find(name);
        if (found == values_.end()) return std::nullopt;
        used_.push_back(name);
        return found->second;
    }
    // Names given but never asked for: misspelt options.
    std::vector<std::string> unused() const {
        std::vector<std::string> out;
        for (const auto& entry : values_)
            if (std::find(used_.begin(), used_.end(), entry.first) == used_.end())
                out.push_back(entry.first);
        return out;
    }

private:
    std::map<std::string, std::string> values_;
    mutable std::vector<std::string> used_;
};

// What every mode needs besides its definition.
struct Common {
    std::string id;
    std::string user;
    std::string cookie;
    unsigned short port = 0;
    std::chrono::seconds timeout{3600};
    std::string log;
};

std::string new_job_id() {
    std::random_device device;
    std::mt19937_64 bits((static_cast<uint64_t>(device()) << 32) ^ device());
    uint64_t high = bits(), low = bits();
    high = (high & ~0xF000ull) | 0x4000ull;            // version 4
    low = (low & ~(0xC0ull << 56)) | (0x80ull << 56);  // variant 1
    char text[37];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                  static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

bool read_common(const Arguments& arguments, Common& common, std::string& error) {
    common.id = arguments.get("id").value_or(new_job_id());
    auto user = arguments.get("user");
    auto cookie = arguments.get("cookie");
    auto port = arguments.get("port");
    if (!user || !cookie || !port) {
        error = "--user, --cookie and --port are required";
        return false;
    }
    common.user = *user;
    common.cookie = *cookie;
    char* end = nullptr;
    unsigned long number = std::strtoul(port->c_str(), &end, 10);
    if (port->empty() || *end || number == 0 || number > 65535) {
        error = "--port takes a port number";
        return false;
    }
    common.port = static_cast<unsigned short>(number);
    if (auto timeout = arguments.get("timeout")) {
        long seconds = std::strtol(timeout->c_str(), &end, 10);
        if (timeout->empty() || *end || seconds <= 0) {
            error = "--timeout takes a number of seconds";
            return false;
        }
        common.timeout = std::chrono::seconds(seconds);
    }
    common.log = arguments.get("log").value_or("");
    return true;
}

// The definition of one offline backup run.
bool backup_definition(const Arguments& arguments, const Common& common, json_spirit::Object& out,
                       std::string& error) {
    auto source = arguments.get("source");
    auto offline = arguments.get("offline");
    if (!source || !offline) {
        error = "backup needs --source and --offline";
        return false;
    }
    std::string compression = arguments.get("compression").value_or("1");
    if (compression != "0" && compression != "1") {
        error = "--compression takes 0 or 1";
        return false;
    }
    json_spirit::Array sources;
    sources.push_back(*source);
    json_spirit::Object schedule;
    schedule["type"] = "once";
    out["type"] = "backup";
    out["id"] = common.id;
    out["user"] = common.user;
    out["name"] = "Benchmark";
    out["source"] = sources;
    out["offline"] = *offline;
    out["compression"] = compression == "1";
    out["schedule"] = schedule;
    return true;
}

// The definition of one restore of every item of an offline backup run.
bool restore_definition(const Arguments& arguments, const Common& common, json_spirit::Object& out,
                        std::string& error) {
    auto catalogue = arguments.get("catalogue");
    auto location = arguments.get("location");
    if (!catalogue || !location) {
        error = "restore needs --catalogue and --location";
        return false;
    }
    JobActivitySourceReader reader;
    if (!reader.open(from_utf8(catalogue->c_str(), -1).c_str(), 0)) {
        error = "the catalogue " + *catalogue + " cannot be read";
        return false;
    }
    json_spirit::Array sources;
    for (uint32_t tag = reader.next(); tag != 0; tag = reader.next()) {
        JobActivitySourceItem item;
        if ((tag != kSourceTagFile && tag != kSourceTagDirectory) || !reader.item(item)) continue;
        // The restore list marks folders with a trailing separator.
        sources.push_back(to_utf8(item.path) + (tag == kSourceTagDirectory ? "\\" : ""));
    }
    if (sources.empty()) {
        error = "the catalogue " + *catalogue + " lists nothing";
        return false;
    }
    out["type"] = "restore";
    out["id"] = common.id;
    out["user"] = common.user;
    out["name"] = "Benchmark restore";
    out["source"] = std::move(sources);
    out["offline"] = *catalogue;
    out["location"] = *location;
    out["existing"] = "overwrite";
    return true;
}

struct Mode {
    const char* name;
    // Builds the job's definition as its JSON object.
    bool (*definition)(const Arguments&, const Common&, json_spirit::Object&, std::string&);
};

const Mode kModes[] = {
    {"backup", backup_definition},
    {"restore", restore_definition},
};

void usage() {
    std::fprintf(g_messages,
                 "usage: offline_run backup --source WINPATH --offline WINPATH --port N\n"
                 "                          --user NAME --cookie sid=TOKEN [--id UUID]\n"
                 "                          [--compression 0|1] [--group-flush 0|1]\n"
                 "                          [--threads N] [--timeout S] [--log FILE]\n"
                 "       offline_run restore --catalogue WINPATH --location WINPATH --port N\n"
                 "                           --user NAME --cookie sid=TOKEN [--id UUID]\n"
                 "                           [--threads N] [--timeout S] [--log FILE]\n");
}

// Sends the engine's log to the file (every priority), or keeps it on
// standard error with warnings and errors only. Each thread of the engine
// logs through its own log object, all to standard error, so the file takes
// the place of standard error; the driver's messages keep the original.
bool route_log(const std::string& path) {
    if (path.empty()) {
        ACE_Log_Msg::instance()->priority_mask(
            LM_WARNING | LM_ERROR | LM_CRITICAL | LM_ALERT | LM_EMERGENCY, ACE_Log_Msg::PROCESS);
        return true;
    }
    int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) return false;
    int original = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    FILE* messages = original >= 0 ? ::fdopen(original, "w") : nullptr;
    if (!messages || ::dup2(file, 2) < 0) {
        ::close(file);
        return false;
    }
    ::close(file);
    std::setvbuf(messages, nullptr, _IONBF, 0);
    g_messages = messages;
    return true;
}

// Follows one job's state events: the start of a run ("starting") and the
// first final state after it. Registered before the submission, so that the
// new run's start is never missed; the events of an earlier run are not
// taken for it. Called on the dispatcher thread; waited for on the main one.
class RunWatch : public JobNotifyObserver {
public:
    explicit RunWatch(std::string id) : JobNotifyObserver(nullptr), id_(std::move(id)) {}

    bool Post(const std::string& event) override {
        json_spirit::Value value;
        if (event.empty() || !json_spirit::read(event, value) ||
            value.type() != json_spirit::obj_type)
            return true;
        const json_spirit::Object& object = value.get_obj();
        // Error events carry the state the job was in, not a change of it.
        if (object.count("error-code")) return true;
        auto id = object.find("id");
        auto state = object.find("state");
        if (id == object.end() || state == object.end() ||
            id->second.type() != json_spirit::str_type ||
            state->second.type() != json_spirit::str_type || id->second.get_str() != id_)
            return true;
        int number = jobStateFromString(state->second.get_str().c_str());
        std::lock_guard<std::mutex> hold(lock_);
        if (number == JS_STARTING) {
            started_ = true;
        } else if (started_ && end_ == 0 &&
                   (number == JS_COMPLETED || number == JS_CANCELLED || number == JS_ERROR)) {
            end_ = number;
            ended_.notify_all();
        }
        return true;
    }

    // The end state of the run started since registration, or 0 when it has
    // not ended by the deadline.
    int wait(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> hold(lock_);
        ended_.wait_until(hold, deadline, [this] { return end_ != 0; });
        return end_;
    }

private:
    const std::string id_;
    std::mutex lock_;
    std::condition_variable ended_;
    bool started_ = false;
    int end_ = 0;
};

int current_state(JobManagerImpl& manager, const std::string& id) {
    int current = 0;
    manager.job(id.c_str(), [&](const Job& job) { current = job.state(); });
    return current;
}

bool worker_running(JobManagerImpl& manager, const std::string& id) {
    bool running = false;
    manager.job(id.c_str(), [&](const Job& job) { running = job.running(); });
    return running;
}

// Submits the definition through the job manager (a job that runs once, as
// these do, starts at its submission) and waits for the run's end.
int run_job(const Common& common, const json_spirit::Object& object) {
    if (!OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", common.port)) {
        std::fprintf(g_messages, "offline_run: the server address cannot be saved\n");
        return kExitSetup;
    }
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    if (!Cookies::instance()->saveCookie(common.user.c_str(), common.cookie.c_str())) {
        std::fprintf(g_messages, "offline_run: the session cookie cannot be saved\n");
        return kExitSetup;
    }
    JobManagerImpl* manager = JobManagerImpl::instance();
    if (!manager->open() || !Iocp_Dispatcher::instance()->activate()) {
        std::fprintf(g_messages, "offline_run: the job manager cannot be opened\n");
        return kExitSetup;
    }
    int status = kExitSetup;
    auto started = std::chrono::steady_clock::now();
    using Notifications = ATL::CComSingleton<JobNotifyManagerImpl, ATL::CComAutoCriticalSection>;
    RunWatch watch(common.id);
    Notifications::instance()->registerObserver(&watch);
    // Of the kind that the definition's "type" names.
    std::unique_ptr<JobDefinition> definition(
        JobDefinitionFactory::create(json_spirit::Value(object)));
    if (!definition) {
        std::fprintf(g_messages, "offline_run: the job definition is refused\n");
    } else if (!manager->submitJob(definition.release())) {
        std::fprintf(g_messages, "offline_run: the job cannot be submitted\n");
    } else {
        auto deadline = started + common.timeout;
        int last = watch.wait(deadline);
        // The final state is posted before the run's clean-up ends: the run
        // is over when its worker is.
        while (last != 0 && worker_running(*manager, common.id) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (last == 0) {
            std::fprintf(g_messages, "offline_run: job %s has not ended after %.0f s (state %s)\n",
                         common.id.c_str(), seconds,
                         jobStateToString(current_state(*manager, common.id)));
            status = kExitTimeout;
        } else {
            std::printf("job %s: %s in %.2f s\n", common.id.c_str(), jobStateToString(last),
                        seconds);
            status = last == JS_COMPLETED ? kExitCompleted : kExitOtherEnd;
        }
    }
    std::fflush(stdout);
    Notifications::instance()->unregisterObserver(&watch);
    manager->close();
    Iocp_Dispatcher::instance()->stop();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return kExitUsage;
    }
    const Mode* mode = nullptr;
    for (const Mode& candidate : kModes)
        if (std::strcmp(argv[1], candidate.name) == 0) mode = &candidate;
    if (!mode) {
        usage();
        return kExitUsage;
    }
    if (!std::getenv("TOVEL_ROOT")) {
        std::fprintf(g_messages, "offline_run: TOVEL_ROOT names no simulated machine\n");
        return kExitUsage;
    }
    Arguments arguments;
    Common common;
    json_spirit::Object definition;
    std::string error;
    if (!arguments.parse(argc, argv, 2, error) || !read_common(arguments, common, error) ||
        !mode->definition(arguments, common, definition, error)) {
        std::fprintf(g_messages, "offline_run: %s\n", error.c_str());
        usage();
        return kExitUsage;
    }
    // Without the forcing of the storage's groups to the disk (the pipeline
    // as it was before it), to measure what the forcing costs.
    if (auto flush = arguments.get("group-flush")) {
        if (*flush != "0" && *flush != "1") {
            std::fprintf(g_messages, "offline_run: --group-flush takes 0 or 1\n");
            return kExitUsage;
        }
        LocalBackupStorage::setGroupFlush(*flush == "1");
    }
    // The run's pools of at most N threads, to measure their speed-up.
    if (auto threads = arguments.get("threads")) {
        int cap = std::atoi(threads->c_str());
        if (cap < 1) {
            std::fprintf(g_messages, "offline_run: --threads takes a number from 1\n");
            return kExitUsage;
        }
        AheadPool::limitThreads(static_cast<unsigned>(cap));
    }
    for (const std::string& name : arguments.unused()) {
        std::fprintf(g_messages, "offline_run: unknown option --%s\n", name.c_str());
        return kExitUsage;
    }
    // The program lies in the machine too, so that the settings it writes
    // land there and not beside this executable.
    setenv("TOVEL_PROGRAM", "C:\\Program Files\\Tovel\\agent.exe", 0);
    if (!route_log(common.log)) {
        std::fprintf(g_messages, "offline_run: cannot write the log %s\n", common.log.c_str());
        return kExitSetup;
    }
    return run_job(common, definition);
}
