#include "Waits.h"

namespace kestrel {

void Waits::Delay(double ms) {
    waitLoop(ms, true);
}

void Waits::WaitMs(double ms) {
    waitLoop(ms, false);
}

void Waits::waitLoop(double ms, bool pollSerial) {
    const double wait = ms / 1000.0;
    if (!(wait > 0.0)) {
        return;
    }
    const double deadline = clock_.now() + wait;
    while (clock_.now() < deadline && !stopRequested_) {
        pump_.waitForEvents(deadline);
        if (pollSerial && receivePoll_) {
            receivePoll_();
        }
    }
}

}  // namespace kestrel
