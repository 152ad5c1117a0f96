#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include "../Clock.h"
#include "../EventPump.h"

namespace kestrel {

class QtClock final : public Clock {
  public:
    QtClock() { timer_.start(); }
    double now() const override { return static_cast<double>(timer_.nsecsElapsed()) / 1e9; }

  private:
    QElapsedTimer timer_;
};

// Blocks in Qt's event loop until an event arrives or a precise timer fires at
// the deadline, so an idle wait costs next to no CPU.
class QtEventPump final : public EventPump {
  public:
    explicit QtEventPump(const Clock& clock);
    void processPending() override;
    void waitForEvents(double deadline) override;

  private:
    const Clock& clock_;
    QTimer wakeUp_;
};

}  // namespace kestrel
