#pragma once

#include <functional>

#include "Clock.h"
#include "EventPump.h"

namespace kestrel {

// The event-pumping waits that every timed step of the system uses. They let
// the window deliver its events (clicks, serial bytes, datagrams) while they
// wait, and block in the event loop instead of spinning.
class Waits {
  public:
    Waits(Clock& clock, EventPump& pump) : clock_(clock), pump_(pump) {}

    // The serial receive handler, which Delay runs once per pass whether or
    // not the port raised an event.
    void setReceivePoll(std::function<void()> poll) { receivePoll_ = std::move(poll); }

    // Waits `ms` milliseconds; each pass delivers events and then polls the
    // serial receive handler. Zero and negative waits return at once.
    void Delay(double ms);
    // Waits `ms` milliseconds delivering events, without the serial poll.
    void WaitMs(double ms);

    // Ends every wait at once, now and later: the session is shutting down
    // and the handlers that wait must unwind.
    void requestStop() { stopRequested_ = true; }
    bool stopRequested() const { return stopRequested_; }

    Clock& clock() { return clock_; }
    EventPump& pump() { return pump_; }

  private:
    void waitLoop(double ms, bool pollSerial);

    Clock& clock_;
    EventPump& pump_;
    std::function<void()> receivePoll_;
    bool stopRequested_ = false;
};

}  // namespace kestrel
