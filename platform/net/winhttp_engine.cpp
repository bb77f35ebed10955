#include "platform/net/winhttp_engine.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace tovel::platform::winhttp {
namespace {

// The longest single wait of the worker; the network and the callers' calls
// wake it earlier.
constexpr int kMaxWaitMs = 1000;

void call(Delivery& d) {
    Notification& n = d.notification;
    void* information = nullptr;
    DWORD length = 0;
    switch (n.status) {
        case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
            information = &n.count;
            length = sizeof n.count;
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            information = n.buffer;
            length = n.length;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            information = &n.result;
            length = sizeof n.result;
            break;
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            information = &n.closed;
            length = sizeof n.closed;
            break;
        default:
            break;
    }
    d.callback(d.handle, d.context, n.status, information, length);
}

}  // namespace

Engine& Engine::instance() {
    static Engine* engine = new Engine;  // never destroyed: see the header
    return *engine;
}

Engine::Engine() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) multi_ = curl_multi_init();
}

void Engine::activate(const std::shared_ptr<Request>& request) {
    if (!request->busy()) return;
    if (std::find(active_.begin(), active_.end(), request) == active_.end())
        active_.push_back(request);
    if (running_) {
        curl_multi_wakeup(multi_);
        return;
    }
    try {
        std::thread([this] { run(); }).detach();
        running_ = true;
    } catch (const std::system_error&) {
        // No thread now: the next call tries again.
    }
}

void Engine::remove_transfer(Request& request) {
    if (!request.in_multi()) return;
    curl_multi_remove_handle(multi_, request.transfer());
    request.in_multi(false);
}

void Engine::update_transfers(Clock::time_point now) {
    for (const auto& request : active_) {
        Request& r = *request;
        if (r.closed() || r.restart_wanted()) remove_transfer(r);
        if (r.restart_wanted()) {
            CURL* easy = r.start(now);
            if (easy && curl_multi_add_handle(multi_, easy) == CURLM_OK)
                r.in_multi(true);
            else if (easy)
                r.finished(CURLE_OUT_OF_MEMORY);
        }
        if (r.take_resume()) curl_easy_pause(r.transfer(), CURLPAUSE_CONT);
        if (r.check_receive_limit(now)) remove_transfer(r);
    }
}

void Engine::collect_finished() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* easy = message->easy_handle;
        CURLcode code = message->data.result;
        char* owner = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &owner);
        auto* request = reinterpret_cast<Request*>(owner);
        request->finished(code);
        remove_transfer(*request);
    }
}

bool Engine::deliver_all(std::unique_lock<std::mutex>& lock) {
    bool any = false;
    // By index: callers may list new requests while a callback runs.
    for (size_t i = 0; i < active_.size(); ++i) {
        std::shared_ptr<Request> request = active_[i];
        Delivery d;
        if (request->synchronous()) continue;  // its caller takes them
        while (request->take(d)) {
            any = true;
            if (!d.callback || (d.flags & d.notification.status) == 0) continue;
            lock.unlock();
            call(d);
            lock.lock();
        }
    }
    return any;
}

int Engine::wait_ms() const {
    long curl_ms = -1;
    curl_multi_timeout(multi_, &curl_ms);
    auto wait =
        std::chrono::milliseconds(curl_ms < 0 ? kMaxWaitMs : std::min<long>(curl_ms, kMaxWaitMs));
    Clock::time_point now = Clock::now();
    for (const auto& request : active_) {
        Clock::time_point deadline = request->receive_deadline();
        if (deadline == Clock::time_point::max()) continue;
        auto until = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        wait = std::min(wait, std::max(until, std::chrono::milliseconds(0)));
    }
    return static_cast<int>(wait.count());
}

void Engine::run() {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        update_transfers(Clock::now());
        int running = 0;
        curl_multi_perform(multi_, &running);
        collect_finished();
        for (const auto& request : active_) request->resolve();
        settled_.notify_all();
        bool delivered = deliver_all(lock);
        std::erase_if(active_, [](const std::shared_ptr<Request>& r) { return !r->busy(); });
        if (delivered) continue;  // the callbacks may have asked for more
        if (active_.empty()) {
            running_ = false;
            return;
        }
        int wait = wait_ms();
        lock.unlock();
        curl_multi_poll(multi_, nullptr, 0, wait, nullptr);
        lock.lock();
    }
}

}  // namespace tovel::platform::winhttp
