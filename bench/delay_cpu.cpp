// How much CPU an idle Delay costs on Qt's real event loop: a wait should
// block, not spin. Prints wall and CPU time of one Delay(1000), and of one
// with a stream of events (a 1 ms timer) arriving meanwhile.
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <ctime>

#include "platform/Waits.h"
#include "platform/qt/QtEventPump.h"

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void measure(const char* what, kestrel::Waits& waits, kestrel::Clock& clock, int& passes) {
    passes = 0;
    const double wall0 = clock.now();
    const double cpu0 = cpuSeconds();
    waits.Delay(1000);
    std::printf("%-32s wall %.3f s  cpu %.4f s  passes %d\n", what, clock.now() - wall0,
                cpuSeconds() - cpu0, passes);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    kestrel::QtClock clock;
    kestrel::QtEventPump pump(clock);
    kestrel::Waits waits(clock, pump);
    int passes = 0;
    waits.setReceivePoll([&passes] { ++passes; });

    measure("Delay(1000), idle", waits, clock, passes);
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.start(1);
    measure("Delay(1000), 1 ms timer events", waits, clock, passes);
    return 0;
}
