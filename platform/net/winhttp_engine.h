// The worker of the asynchronous WinHTTP functions: one thread per process
// that drives every request's transfer through one libcurl multi handle and
// delivers the requests' notifications to their callbacks, one at a time.
// It starts when a request first has something to do and ends when no
// request has (a later one starts it again).
//
// One lock guards every request's state: the callers' threads take it for
// each operation, the worker holds it for everything but its wait for the
// network and the callbacks, which run without it (so that they may call the
// WinHTTP functions again).
#pragma once

#include <curl/curl.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/net/winhttp_request.h"

namespace tovel::platform::winhttp {

class Engine {
public:
    // The process's engine, made on first use and never destroyed (its
    // worker may outlive every caller).
    static Engine& instance();

    // False (last error 8) when libcurl could not be set up.
    bool usable() const { return multi_ != nullptr; }

    // Runs operation(request) under the lock, then hands the request to the
    // worker when it has something to do; the operation's result.
    template <class Operation>
    auto with(const std::shared_ptr<Request>& request, Operation operation) {
        std::lock_guard<std::mutex> guard(lock_);
        auto result = operation(*request);
        activate(request);
        settled_.notify_all();
        return result;
    }

    // For a request of a synchronous session: runs operation(request) under
    // the lock and, when it succeeds, waits on the caller's thread until the
    // request's notification is there and takes it into settled. false when
    // the operation fails (its last error set) or the request is closed
    // meanwhile (12017).
    template <class Operation>
    bool wait(const std::shared_ptr<Request>& request, Operation operation, Notification& settled) {
        std::unique_lock<std::mutex> lock(lock_);
        if (!operation(*request)) return false;
        activate(request);
        settled_.wait(lock, [&] { return request->closed() || request->take_settled(settled); });
        if (request->closed()) {
            SetLastError(ERROR_WINHTTP_OPERATION_CANCELLED);
            return false;
        }
        return true;
    }

private:
    Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // With the lock held: lists the request when busy and wakes or starts the worker.
    void activate(const std::shared_ptr<Request>& request);
    // The worker's loop; returns when no request is busy.
    void run();
    // Lock held: removes, starts and resumes transfers, enforces receive limits.
    void update_transfers(Clock::time_point now);
    // Lock held: takes the ends of finished transfers.
    void collect_finished();
    // Delivers every queued notification, releasing the lock for each
    // callback; whether there were any.
    bool deliver_all(std::unique_lock<std::mutex>& lock);
    // Lock held: the milliseconds the worker may wait for the network.
    int wait_ms() const;
    void remove_transfer(Request& request);

    std::mutex lock_;
    std::condition_variable settled_;  // a synchronous request may have its notification
    CURLM* multi_ = nullptr;
    bool running_ = false;                          // a worker is in run()
    std::vector<std::shared_ptr<Request>> active_;  // the busy requests
};

}  // namespace tovel::platform::winhttp
