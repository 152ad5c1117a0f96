#include "QtEventPump.h"

#include <QCoreApplication>
#include <cmath>

namespace kestrel {

QtEventPump::QtEventPump(const Clock& clock) : clock_(clock) {
    wakeUp_.setSingleShot(true);
    wakeUp_.setTimerType(Qt::PreciseTimer);
}

void QtEventPump::processPending() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
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
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    wakeUp_.stop();
}

}  // namespace kestrel
