#include "portvane/jobs/job_notify.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/ace_log_wrapper.h"
#include "portvane/conventions.h"
#include "portvane/jobs/stream_quota.h"

using tovel::web::mg_connection;
using tovel::web::mg_request_info;

namespace {

constexpr std::string_view kHead =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";

const char* end_text(MongooseJobNotifyObserver::End end) {
    switch (end) {
        case MongooseJobNotifyObserver::End::client:
            return "the client closed or sent data";
        case MongooseJobNotifyObserver::End::stopping:
            return "the web server stops";
        case MongooseJobNotifyObserver::End::last_chunk:
            return "the job events end";
        case MongooseJobNotifyObserver::End::overflow:
            return "the client does not keep up";
        case MongooseJobNotifyObserver::End::write_failed:
            return "a write failed";
    }
    return "";
}

portvane::StreamQuota& stream_quota() {
    static portvane::StreamQuota quota(
        {kMaxJobNotifyStreams, kMaxJobNotifyStreamsPerPeer, kReservedJobNotifyStreams});
    return quota;
}

}  // namespace

MongooseJobNotifyObserver::MongooseJobNotifyObserver(const char* user, mg_connection* connection)
    : JobNotifyObserver(user), connection_(connection) {}

MongooseJobNotifyObserver::~MongooseJobNotifyObserver() = default;

bool MongooseJobNotifyObserver::Post(const std::string& event) {
    if (!connection_) return false;
    log_message(LM_DEBUG, "MongooseJobNotifyObserver::Post event: %s.\n", event.c_str());
    char size[24];
    int digits = std::snprintf(size, sizeof size, "%zx\r\n", event.size());
    std::lock_guard<std::mutex> hold(lock_);
    if (state_ != State::open) return false;
    size_t chunk = static_cast<size_t>(digits) + event.size() + 2;
    if (ends_.size() >= kMaxQueuedEvents || queue_.size() + chunk > kMaxQueuedBytes) {
        state_ = State::overflow;
        wake_.notify_one();
        return false;
    }
    queue_.append(size, static_cast<size_t>(digits)).append(event).append("\r\n");
    ends_.push_back(queue_.size());
    if (event.empty()) state_ = State::last;
    wake_.notify_one();
    return true;
}

MongooseJobNotifyObserver::End MongooseJobNotifyObserver::stream() {
    if (tovel::web::mg_write(connection_, kHead.data(), kHead.size()) !=
        static_cast<int>(kHead.size()))
        return End::write_failed;
    std::string batch;
    std::vector<size_t> ends;
    for (;;) {
        State state;
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait_for(hold, std::chrono::milliseconds(kSliceMs),
                           [this] { return !queue_.empty() || state_ != State::open; });
            batch.clear();
            ends.clear();
            batch.swap(queue_);
            ends.swap(ends_);
            state = state_;
        }
        // A listener that fell this far behind is not served what it missed in part.
        if (state == State::overflow) return End::overflow;
        if (!batch.empty()) {
            int written = tovel::web::mg_write(connection_, batch.data(), batch.size());
            for (size_t end : ends) {
                if (written < 0 || end > static_cast<size_t>(written)) break;
                ++sent_;
            }
            if (written != static_cast<int>(batch.size())) return End::write_failed;
        }
        if (state == State::last) return End::last_chunk;
        if (tovel::web::mg_is_stopping(connection_)) return End::stopping;
        if (tovel::web::mg_readable(connection_, 0, 0)) return End::client;
    }
}

extern "C" void job_notify_callback(mg_connection* conn, const mg_request_info* request) {
    if (std::strncmp(request->uri, "/jobnotify", 10) != 0) {
        portvane::reply(conn, portvane::kReply404);
        return;
    }
    const char* peer = tovel::web::mg_get_peer_identity(conn);
    portvane::StreamSlot slot(stream_quota(), peer);
    if (!slot.taken()) {
        log_message(LM_WARNING,
                    "job_notify_callback: no job event stream for %s: %d run, of which it has "
                    "the most it may.\n",
                    peer, stream_quota().running());
        portvane::reply(conn, portvane::kReply503);
        return;
    }
    std::string user;  // none known: every user's events
    portvane::userFromCookie(conn, user);
    MongooseJobNotifyObserver observer(user.c_str(), conn);
    JobNotifyManagerImpl* manager = ATL::CComSingleton<JobNotifyManagerImpl>::instance();
    // Registered before the head goes out, so that a listener that has the head misses no event
    // posted after it; the events queued meanwhile follow the head.
    if (!manager || !manager->registerObserver(&observer)) {
        log_message(LM_ERROR, "job_notify_callback: the job events cannot be followed.\n");
        portvane::reply(conn, portvane::kReply500);
        return;
    }
    log_message(LM_DEBUG, "job_notify_callback: a job event stream starts.\n");
    MongooseJobNotifyObserver::End end = observer.stream();
    manager->unregisterObserver(&observer);
    log_message(LM_DEBUG, "job_notify_callback: a job event stream ended after %Q events: %s.\n",
                static_cast<unsigned long long>(observer.sent()), end_text(end));
}
