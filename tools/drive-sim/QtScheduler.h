#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <map>

#include "Scheduler.h"

namespace kestrel::drivesim {

// The drive's scheduler on the real monotonic clock, driven by the Qt event
// loop: one precise timer set to the earliest action.
class QtScheduler final : public QObject, public Scheduler {
  public:
    QtScheduler();
    double now() const override;
    void at(double time, std::function<void()> action) override;
    // Runs the actions as they fall due, sleeping between them, until `done`
    // holds or the clock reaches `deadline`: for a caller that must wait
    // without delivering events (an in-process drive behind a reply wait).
    void runUntil(double deadline, const std::function<bool()>& done);

  private:
    void runDue();
    void rearm();

    QElapsedTimer clock_;
    QTimer timer_;
    long long sequence_ = 0;
    std::multimap<std::pair<double, long long>, std::function<void()>> schedule_;
};

}  // namespace kestrel::drivesim
