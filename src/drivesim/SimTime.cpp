#include "SimTime.h"

#include <QCoreApplication>
#include <algorithm>
#include <limits>

namespace kestrel::drivesim {

void SimTime::at(double when, std::function<void()> action) {
    schedule_.emplace(std::make_pair(std::max(when, now_), sequence_++), std::move(action));
}

void SimTime::post(std::function<void()> notification) {
    posted_.push_back(std::move(notification));
}

void SimTime::runUntil(double deadline, const std::function<bool()>& done) {
    while (!done() && now_ < deadline) {
        advanceTo(std::min(deadline, nextActionTime()));
    }
}

void SimTime::advanceTo(double t) {
    while (!schedule_.empty() && schedule_.begin()->first.first <= t) {
        auto node = schedule_.extract(schedule_.begin());
        now_ = std::max(now_, node.key().first);
        node.mapped()();
    }
    now_ = std::max(now_, t);
}

bool SimTime::deliverPosted() {
    if (posted_.empty()) {
        return false;
    }
    // A notification may post more; those wait for the next pass.
    std::vector<std::function<void()>> batch;
    batch.swap(posted_);
    for (auto& notification : batch) {
        notification();
    }
    return true;
}

double SimTime::nextActionTime() const {
    return schedule_.empty() ? std::numeric_limits<double>::infinity()
                             : schedule_.begin()->first.first;
}

void SimEventPump::processPending() {
    ++time_.passes;
    time_.advanceTo(time_.now());
    if (!time_.hasPosted()) {
        time_.advanceTo(std::min(time_.now() + time_.passStep, time_.nextActionTime()));
    }
    time_.deliverPosted();
    if (QCoreApplication::instance()) {
        QCoreApplication::processEvents();
    }
}

void SimEventPump::waitForEvents(double deadline) {
    ++time_.passes;
    ++time_.blockingWaits;
    time_.advanceTo(time_.now());
    if (!time_.hasPosted()) {
        time_.advanceTo(std::min(deadline, time_.nextActionTime()));
    }
    time_.deliverPosted();
    if (QCoreApplication::instance()) {
        QCoreApplication::processEvents();
    }
}

}  // namespace kestrel::drivesim
