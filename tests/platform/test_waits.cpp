// The event-pumping waits: their contract on simulated time, and on Qt's real
// event loop that they deliver events while they block.
#include <QTimer>
#include <QtTest>

#include "Doubles.h"
#include "platform/Waits.h"
#include "platform/qt/QtEventPump.h"

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

    void realDelayDeliversQtEventsNestsAndEndsOnTime() {
        QtClock clock;
        QtEventPump pump(clock);
        Waits waits(clock, pump);
        int polls = 0;
        waits.setReceivePoll([&] { ++polls; });
        double innerEnded = -1;
        QTimer::singleShot(20, [&] {
            waits.Delay(30);
            innerEnded = clock.now();
        });
        const double start = clock.now();
        waits.Delay(150);
        QVERIFY(innerEnded - start >= 0.050);
        QVERIFY(clock.now() - start >= 0.150);
        QVERIFY(polls >= 2);  // the timer's event, then the deadline
    }
};

QTEST_MAIN(WaitsTest)
#include "test_waits.moc"
