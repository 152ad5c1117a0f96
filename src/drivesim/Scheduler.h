#pragma once

#include <functional>

namespace kestrel::drivesim {

// The drive's sense of time: seconds, and actions to run at a later time.
// Tests hand it simulated time; the program hands it a timer on the real clock.
class Scheduler {
  public:
    virtual ~Scheduler() = default;
    virtual double now() const = 0;
    // Runs `action` once the clock reaches `time` (at once when it has passed).
    // Actions due at the same time run in the order they were scheduled.
    virtual void at(double time, std::function<void()> action) = 0;
};

// The clock at the host's end of an in-memory line. The host's port and socket
// need more of it than the drive does: the host's event loop, which delivers
// their notices, and the waits in which the host blocks on them.
class HostScheduler : public Scheduler {
  public:
    // Queues `notification` (a receive or arrival notice) for the host's next
    // event pass.
    virtual void post(std::function<void()> notification) = 0;
    // The host blocks, delivering no events: due actions run until `done`
    // holds or the clock reaches `deadline`.
    virtual void runUntil(double deadline, const std::function<bool()>& done) = 0;
    // The host blocks until its output has left, or until `deadline`.
    virtual void runUntilSent(double deadline, const std::function<bool()>& sent) {
        runUntil(deadline, sent);
    }
    // The host polled a device that had nothing for it.
    virtual void pollFoundNothing() {}
};

}  // namespace kestrel::drivesim
