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

}  // namespace kestrel::drivesim
