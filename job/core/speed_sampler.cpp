#include "job/core/speed_sampler.h"

SpeedCalc::SpeedCalc(JobActivity* record, Io_Completion_Port_Ex* dispatcher, Clock clock)
    : record_(record),
      lastSample_(0),
      dispatcher_(dispatcher ? dispatcher : Iocp_Dispatcher::instance()),
      clock_(clock ? clock : &Io_Completion_Port_Ex::localFileTime) {
    timer_id = -1;
    lastSample_ = clock_();
    rearm();
}

SpeedCalc::~SpeedCalc() {
    // The cancel takes the dispatcher's lock, under which timeouts run: once it
    // returns no timeout runs and none is armed, so the last sample is ours.
    dispatcher_->cancel_timer(this);
    sample();
}

void SpeedCalc::handle_timeout(uint64_t /*due*/) {
    // After a clock change as after a plain timeout: count up to now and wait
    // one period from the new clock.
    sample();
    rearm();
}

void SpeedCalc::sample() {
    uint64_t now = clock_();
    // A clock set back gives no negative interval: nothing is counted, and the
    // next interval starts from the new time.
    if (record_ && now > lastSample_) record_->elapsedTime += now - lastSample_;
    lastSample_ = now;
}

void SpeedCalc::rearm() {
    dispatcher_->cancel_timer(this);
    dispatcher_->schedule_timer(this, clock_() + kPeriod);
}
