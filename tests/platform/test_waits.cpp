// The event-pumping waits on simulated time: they end on time, deliver events
// while they block, and never spin. The window's runs on the real event loop
// (tests/flash, tests/integration) lean on the same waits.
#include <QtTest>

#include "Doubles.h"
#include "platform/Waits.h"

using namespace kestrel;
using namespace kestrel::testing;

class WaitsTest : public QObject {
    Q_OBJECT
  private slots:
    void waitsUntilTheDeadline_data() {
        QTest::addColumn<double>("ms");
        QTest::addColumn<bool>("polled");  // Delay polls the serial handler, WaitMs does not
        QTest::addColumn<int>("events");   // delivered of those at 10, 20, 90 and 150 ms
        QTest::addColumn<int>("passes");
        QTest::newRow("Delay 100 ms")
            << 100.0 << true << 3 << 4;  // three events, then the deadline
        QTest::newRow("WaitMs 100 ms") << 100.0 << false << 3 << 4;
        QTest::newRow("Delay, a fraction of a ms") << 0.25 << true << 0 << 1;
        QTest::newRow("Delay 3 s: one blocking wait per event") << 3000.0 << true << 4 << 5;
        QTest::newRow("Delay 0: at once, no pumping") << 0.0 << true << 0 << 0;
        QTest::newRow("WaitMs, negative") << -500.0 << false << 0 << 0;
    }

    void waitsUntilTheDeadline() {
        QFETCH(double, ms);
        QFETCH(bool, polled);
        QFETCH(int, events);
        QFETCH(int, passes);
        TestPlatform tp;
        const double start = 86399.9;  // across what used to be midnight
        tp.time.advanceTo(start);
        Waits waits(tp.time, tp.pump);
        int polls = 0;
        waits.setReceivePoll([&] { ++polls; });
        int delivered = 0;
        for (double t : {0.010, 0.020, 0.090, 0.150}) {
            tp.time.at(start + t, [&] { tp.time.post([&] { ++delivered; }); });
        }
        polled ? waits.Delay(ms) : waits.WaitMs(ms);
        QCOMPARE(tp.time.now(), start + std::max(ms, 0.0) / 1000.0);
        QCOMPARE(delivered, events);
        QCOMPARE(tp.time.passes, passes);
        QCOMPARE(tp.time.blockingWaits, passes);  // blocks instead of spinning
        QCOMPARE(polls, polled ? passes : 0);
    }
};

QTEST_GUILESS_MAIN(WaitsTest)
#include "test_waits.moc"
