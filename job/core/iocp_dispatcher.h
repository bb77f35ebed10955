// The job engine's one dispatcher: a completion port with one thread that
// waits on it, and a heap of timers ordered by due time. Every timer handler,
// every job completion and every delivery of job events runs on that thread;
// other threads only post packets and arm or cancel timers.
#pragma once

#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32.h"

class Io_Completion_Port {
public:
    // The receiver of packets. The completion key of a packet meant for a
    // receiver is the address of its Event part; key 0 is the stop packet.
    class Event {
    public:
        virtual ~Event() = default;
        // error: the Win32 error of the packet (0 on success); overlapped: the
        // pointer value the poster passed. Runs on the dispatcher thread.
        virtual void completion(DWORD error, DWORD bytes, OVERLAPPED* overlapped) = 0;
    };

    Io_Completion_Port() = default;
    Io_Completion_Port(const Io_Completion_Port&) = delete;
    Io_Completion_Port& operator=(const Io_Completion_Port&) = delete;
    // Posts the stop packet, so that a waiting thread wakes, and closes the port.
    virtual ~Io_Completion_Port();

    // Creates the port; true when one exists afterwards.
    bool open();
    // Posts the stop packet and closes the port; a later post fails with 6.
    void close();
    // Queues one packet; false (last error set) when the port is closed or missing.
    bool post(DWORD bytes, ULONG_PTR key, OVERLAPPED* overlapped);
    HANDLE port() const;

protected:
    mutable std::mutex portLock_;  // guards port_ against a concurrent close
    HANDLE port_ = nullptr;
};

class Io_Completion_Port_Ex : public Io_Completion_Port, public Io_Completion_Port::Event {
public:
    // A timer. The owner deletes it through its own type, after cancelling it.
    class Timeout_Handler {
    public:
        // Id of the newest arming; -1 until the handler was first armed.
        // Written under the dispatcher's lock; read it only there, or while
        // no other thread can arm the handler.
        int32_t timer_id = -1;
        // due: the local FILETIME the handler was armed for, or all ones when
        // the system clock changed (the handler then re-arms itself for the
        // new clock). Runs on the dispatcher thread under the dispatcher's lock:
        // it may arm or cancel timers but must not wait for a thread that does.
        virtual void handle_timeout(uint64_t due) = 0;

    protected:
        ~Timeout_Handler() = default;
    };

    // Throws std::bad_alloc when the lock cannot be made.
    Io_Completion_Port_Ex();
    ~Io_Completion_Port_Ex() override;

    // Arms the handler for an absolute local FILETIME and returns the new id,
    // also when waking the dispatcher failed (the timer then fires at the
    // latest when the dispatcher's current wait ends). Any thread.
    long schedule_timer(Timeout_Handler* handler, uint64_t due);
    long schedule_after_ms(Timeout_Handler* handler, uint64_t milliseconds);
    // Disarms the handler's newest arming: 0, or -1 (never armed: last error
    // untouched; already fired or cancelled: 1168). Any thread.
    int cancel_timer(Timeout_Handler* handler);

    // One step of the dispatcher loop: 0 after a packet was handled, 258 after
    // a wait that timed out (the due timers then ran), 259 for the stop
    // packet, or the Win32 error of a failed wait.
    DWORD handle_events(DWORD timeout);

    // Now as a local FILETIME (millisecond resolution).
    static uint64_t localFileTime();

    void completion(DWORD error, DWORD bytes, OVERLAPPED* overlapped) override;

    ULONG_PTR key() {
        return reinterpret_cast<ULONG_PTR>(static_cast<Io_Completion_Port::Event*>(this));
    }

protected:
    struct Entry {
        uint32_t id;
        uint64_t due;
        Timeout_Handler* handler;
    };

    void run_due_timers();
    void clock_changed();

    CRITICAL_SECTION lock_;
    std::vector<Entry> heap_;  // a binary heap, the earliest due time at the front
    uint32_t lastTimerId_ = 0;
};

class Iocp_Dispatcher : public Io_Completion_Port_Ex {
public:
    // The process's dispatcher, made on first use after the process's command
    // queue; destroyed at process end before the queue (which stops and joins
    // its thread, so that no timer reaches a queue that is gone).
    static Iocp_Dispatcher* instance();
    ~Iocp_Dispatcher() override;

    // Starts the dispatcher thread; false when it runs already or cannot start.
    bool activate();
    // Joins the dispatcher thread; false when none runs.
    bool join();
    // Lets the thread handle what is queued, ends it and closes the port;
    // false when no thread ran.
    bool stop();
    // The thread's exit code: 0 after the stop packet, else the error that ended the loop.
    DWORD exitCode() const { return exitCode_; }

private:
    Iocp_Dispatcher() = default;
    void run();

    std::mutex threadLock_;
    std::thread thread_;
    DWORD exitCode_ = 0;
};

// The dispatcher's controls for the other deliverables.
class IocpDispatherWrapper {
public:
    // Creates the completion port.
    static bool open();
    // Starts the dispatcher thread.
    static bool activate();
    // Stops the dispatcher thread after the packets queued before, and closes the port.
    static bool close();
    // Joins the dispatcher thread (the argument is not used).
    static bool wait(unsigned long milliseconds);
    // Tells every armed timer that the system clock changed.
    static bool notifyTimeChange();
};
