#pragma once

#include <QObject>
#include <map>

#include "Scheduler.h"

class QSocketNotifier;

namespace kestrel::drivesim {

// The drive's scheduler on the real monotonic clock, driven by the Qt event
// loop. Qt's timers count whole milliseconds, far coarser than a character at
// 115200 bit/s or a reply on loopback, so the earliest action is armed on a
// timerfd instead: it wakes the event loop at the exact time, and at once for
// an action already due. It is also the host's clock for an in-process drive
// (kestrel-flash --simulate): notices go through the event loop.
class QtScheduler final : public QObject, public HostScheduler {
  public:
    QtScheduler();
    ~QtScheduler() override;
    double now() const override;
    void at(double time, std::function<void()> action) override;
    void post(std::function<void()> notification) override;
    // Runs the actions as they fall due, sleeping between them, until `done`
    // holds or the clock reaches `deadline`: for a caller that must wait
    // without delivering events (an in-process drive behind a reply wait).
    void runUntil(double deadline, const std::function<bool()>& done) override;

  private:
    void runDue();
    void rearm();

    double start_ = 0.0;
    int timerFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    double armedFor_ = -1.0;  // the time the timerfd is set to; negative: disarmed
    long long sequence_ = 0;
    std::multimap<std::pair<double, long long>, std::function<void()>> schedule_;
};

}  // namespace kestrel::drivesim
