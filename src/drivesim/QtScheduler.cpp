#include "QtScheduler.h"

#include <sys/timerfd.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <thread>

namespace kestrel::drivesim {

namespace {

double monotonicSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

timespec toTimespec(double seconds) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(std::floor(seconds));
    ts.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
    return ts;
}

}  // namespace

QtScheduler::QtScheduler() : start_(monotonicSeconds()) {
    timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd_ >= 0) {
        notifier_ = new QSocketNotifier(timerFd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            std::uint64_t expirations = 0;
            [[maybe_unused]] const ssize_t n = ::read(timerFd_, &expirations, sizeof expirations);
            armedFor_ = -1.0;
            runDue();
        });
    }
}

QtScheduler::~QtScheduler() {
    delete notifier_;
    if (timerFd_ >= 0) {
        ::close(timerFd_);
    }
}

double QtScheduler::now() const {
    return monotonicSeconds() - start_;
}

void QtScheduler::at(double time, std::function<void()> action) {
    schedule_.emplace(std::make_pair(time, sequence_++), std::move(action));
    rearm();
}

void QtScheduler::post(std::function<void()> notification) {
    QMetaObject::invokeMethod(this, std::move(notification), Qt::QueuedConnection);
}

void QtScheduler::runDue() {
    while (!schedule_.empty() && schedule_.begin()->first.first <= now()) {
        auto node = schedule_.extract(schedule_.begin());
        node.mapped()();
    }
    rearm();
}

void QtScheduler::rearm() {
    if (timerFd_ < 0 || schedule_.empty()) {
        return;  // a stale expiry only runs what is due: nothing
    }
    const double next = schedule_.begin()->first.first;
    if (armedFor_ >= 0.0 && armedFor_ <= next) {
        return;
    }
    // An absolute time already past expires at once: zero delay means now.
    itimerspec deadline{};
    deadline.it_value = toTimespec(std::max(start_ + next, 1e-9));
    ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &deadline, nullptr);
    armedFor_ = next;
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
