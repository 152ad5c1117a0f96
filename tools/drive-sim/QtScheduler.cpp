#include "QtScheduler.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace kestrel::drivesim {

QtScheduler::QtScheduler() {
    clock_.start();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { runDue(); });
}

double QtScheduler::now() const {
    return static_cast<double>(clock_.nsecsElapsed()) / 1e9;
}

void QtScheduler::at(double time, std::function<void()> action) {
    schedule_.emplace(std::make_pair(time, sequence_++), std::move(action));
    rearm();
}

void QtScheduler::runDue() {
    // Timers have millisecond grain: run everything due within it, in order.
    while (!schedule_.empty() && schedule_.begin()->first.first <= now() + 0.5e-3) {
        auto node = schedule_.extract(schedule_.begin());
        node.mapped()();
    }
    rearm();
}

void QtScheduler::rearm() {
    if (schedule_.empty()) {
        timer_.stop();
        return;
    }
    const double wait = schedule_.begin()->first.first - now();
    const int ms = wait <= 0.0 ? 0 : static_cast<int>(std::ceil(wait * 1000.0));
    if (!timer_.isActive() || timer_.remainingTime() > ms) {
        timer_.start(ms);
    }
}

void QtScheduler::runUntil(double deadline, const std::function<bool()>& done) {
    for (runDue(); !done() && now() < deadline; runDue()) {
        const double next =
            schedule_.empty() ? deadline : std::min(deadline, schedule_.begin()->first.first);
        if (next > now()) {
            std::this_thread::sleep_for(std::chrono::duration<double>(next - now()));
        }
    }
}

}  // namespace kestrel::drivesim
