#pragma once

namespace kestrel {

// "Let the window process its pending events", the one thing every timed step
// of the system does while it waits.
class EventPump {
  public:
    virtual ~EventPump() = default;
    // Deliver what is pending now, without blocking.
    virtual void processPending() = 0;
    // Block until at least one event has been delivered or the clock reaches
    // `deadline` (seconds on the Clock), whichever comes first. Never spins.
    virtual void waitForEvents(double deadline) = 0;
};

}  // namespace kestrel
