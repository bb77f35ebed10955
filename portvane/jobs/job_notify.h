// The job event stream "/jobnotify": a long-lived chunked reply on which the agent pushes every
// job event, as it happens, to one listener (a page of the web interface, or the tray's
// notification client), one JSON object per chunk.
//
// The job engine's dispatcher thread hands each event to the stream's observer, which only queues
// it; the web server's worker thread that answers the request writes the queue out. A listener
// that stops reading therefore holds up nothing but its own stream: its queue grows to its bound
// and the stream ends, and every other listener, timer and job of the engine goes on.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "job/core/job_notify_manager.h"
#include "starter/webserver/mongoose.h"

class MongooseJobNotifyObserver : public JobNotifyObserver {
public:
    // The queue's bound: past either, the stream ends (the listener is not keeping up).
    static constexpr size_t kMaxQueuedEvents = 512;
    static constexpr size_t kMaxQueuedBytes = size_t{1} << 20;
    // The longest the writer waits for an event before it looks again whether the client sent
    // something or went away, and whether the server stops.
    static constexpr long kSliceMs = 1000;

    // Why a stream ended.
    enum class End {
        client,        // the client sent data or closed the connection
        stopping,      // the web server stops
        last_chunk,    // an empty event (the job library unloads): the last chunk was written
        overflow,      // the queue went past its bound
        write_failed,  // a write did not put out all its bytes (client gone, or stalled beyond
                       // the server's request time-out)
    };

    // user: whose events the listener wants (null or empty: every user's). connection: the
    // request being answered, written only by stream()'s thread; null makes an observer that
    // refuses every event.
    MongooseJobNotifyObserver(const char* user, tovel::web::mg_connection* connection);
    MongooseJobNotifyObserver(const MongooseJobNotifyObserver&) = delete;
    MongooseJobNotifyObserver& operator=(const MongooseJobNotifyObserver&) = delete;
    ~MongooseJobNotifyObserver() override;

    // Appends the event's chunk ("%x\r\n%s\r\n") to the queue and wakes the writer; never touches
    // the connection, never waits for the client. An empty event queues the last chunk
    // "0\r\n\r\n", after which the stream ends. True when the event was queued; false without a
    // connection, once the stream has ended, or when the event would take the queue past its
    // bound (which ends the stream). Runs on the dispatcher thread under the notification
    // manager's lock.
    bool Post(const std::string& event) override;

    // Writes the reply's head, then each queued chunk, whole and in order, until the client sends
    // something or closes, the server stops, the last chunk is written, the queue overflows or a
    // write falls short; after a short write nothing more is written, since the client could not
    // find where the next chunk begins. Waits for events in slices of kSliceMs. Runs on the
    // request's worker thread, once.
    End stream();

    // Events whose chunk was written whole (a chunk cut short by a failed write is not counted).
    uint64_t sent() const { return sent_; }

private:
    enum class State { open, last, overflow };

    tovel::web::mg_connection* connection_;
    std::mutex lock_;
    std::condition_variable wake_;
    // Guarded by lock_: the queued chunks back to back, where each ends, and what happened.
    std::string queue_;
    std::vector<size_t> ends_;
    State state_ = State::open;
    // The writer's own.
    uint64_t sent_ = 0;
};

// The stream's handler: any URI that begins with "/jobnotify" (else 404), any method. The user is
// the one of the request's session cookie (portvane::userFromCookie); without a cookie, or with
// one the cookie store does not know, the stream carries the events of every user.
//
// Each stream holds a worker of the web server while it runs, and a listener that never reads
// holds it as long as it stays, so streams are admitted by a quota (stream_quota.h): at most
// kMaxJobNotifyStreams at once, well below the server's workers; at most
// kMaxJobNotifyStreamsPerPeer of one peer (the local account that opened the connection), more
// than a browser opens to one host; and the last kReservedJobNotifyStreams only for a peer's
// first, so that one user's streams, or a few users', never keep another user's tray out. A
// stream beyond the quota is answered 503 at once.
inline constexpr int kMaxJobNotifyStreams = 64;
inline constexpr int kMaxJobNotifyStreamsPerPeer = 8;
inline constexpr int kReservedJobNotifyStreams = 16;
extern "C" void job_notify_callback(tovel::web::mg_connection* conn,
                                    const tovel::web::mg_request_info* request);
