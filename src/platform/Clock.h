#pragma once

namespace kestrel {

// Monotonic time in seconds. The system's waits measure elapsed time with it,
// so a wait that runs across midnight (or a wall-clock change) still ends.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
};

}  // namespace kestrel
