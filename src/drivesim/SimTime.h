#pragma once

#include <functional>
#include <map>
#include <vector>

#include "Scheduler.h"
#include "platform/Clock.h"
#include "platform/EventPump.h"

namespace kestrel::drivesim {

// Simulated time for component tests: a clock that moves only when the code
// under test waits, pumps events or polls a device, and a schedule of
// actions (the drive's bytes and datagrams, a user's click) that run when the
// clock reaches them. Everything is deterministic.
class SimTime final : public Clock, public HostScheduler {
  public:
    double now() const override { return now_; }

    // Runs `action` once the clock reaches `at` (in order of time, then of
    // scheduling).
    void at(double at, std::function<void()> action) override;
    void after(double delay, std::function<void()> action) { at(now_ + delay, std::move(action)); }
    // Queues a notification (a receive or arrival event) that only an event
    // pass delivers, as a window's event loop would.
    void post(std::function<void()> notification) override;
    void runUntil(double deadline, const std::function<bool()>& done) override;
    // An event pass moves the clock to the next byte's departure, so the host
    // need not block for its output.
    void runUntilSent(double, const std::function<bool()>&) override {}
    // A poll that finds nothing costs a little time, which is what lets a
    // polling loop see the drive's next byte or its own time-out.
    void pollFoundNothing() override { advanceBy(pollStep); }

    // Moves the clock to `t`, running every action due on the way.
    void advanceTo(double t);
    void advanceBy(double dt) { advanceTo(now_ + dt); }
    // Delivers the posted notifications; true when there were any.
    bool deliverPosted();
    bool hasPosted() const { return !posted_.empty(); }
    // Time of the next scheduled action, or +infinity.
    double nextActionTime() const;
    // How far one device poll that finds nothing moves the clock.
    double pollStep = 50e-6;
    // How far one event pass with nothing to deliver moves the clock.
    double passStep = 1e-3;
    // Counters a test may read to see that the code waited or polled.
    long long passes = 0;
    long long blockingWaits = 0;

  private:
    double now_ = 0.0;
    long long sequence_ = 0;
    std::multimap<std::pair<double, long long>, std::function<void()>> schedule_;
    std::vector<std::function<void()>> posted_;
};

// The event pump on simulated time. A pass delivers what is due; a blocking
// wait jumps straight to the next scheduled action or the deadline.
class SimEventPump final : public EventPump {
  public:
    explicit SimEventPump(SimTime& time) : time_(time) {}
    void processPending() override;
    void waitForEvents(double deadline) override;

  private:
    SimTime& time_;
};

}  // namespace kestrel::drivesim
