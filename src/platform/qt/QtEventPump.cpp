#include "QtEventPump.h"

#include <QCoreApplication>
#include <cmath>

namespace kestrel {

QtEventPump::QtEventPump(const Clock& clock) : clock_(clock) {
    wakeUp_.setSingleShot(true);
    wakeUp_.setTimerType(Qt::PreciseTimer);
}

void QtEventPump::processPending() {
    ++depth_;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    --depth_;
}

void QtEventPump::waitForEvents(double deadline) {
    const double remaining = deadline - clock_.now();
    if (remaining <= 0) {
        processPending();
        return;
    }
    // A nested wait restarts the timer for its own deadline; the outer wait
    // restarts it again on its next pass.
    wakeUp_.start(static_cast<int>(std::ceil(remaining * 1000.0)));
    ++depth_;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    --depth_;
    wakeUp_.stop();
}

}  // namespace kestrel
