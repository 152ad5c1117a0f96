// The event-pumping waits: their contract on simulated time, and on Qt's real
// event loop that they deliver events while they block.
#include <QElapsedTimer>
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
    void delayWaitsAtLeastTheTimeAsked_data();
    void delayWaitsAtLeastTheTimeAsked();
    void zeroAndNegativeReturnAtOnceWithoutPumping_data();
    void zeroAndNegativeReturnAtOnceWithoutPumping();
    void delayDeliversEventsAndPollsEachPass();
    void waitMsDoesNotPollTheSerialHandler();
    void delayBlocksInsteadOfSpinning();
    void realDelayDeliversQtEventsAndEndsOnTime();
    void realDelayCanNest();
};

void WaitsTest::delayWaitsAtLeastTheTimeAsked_data() {
    QTest::addColumn<double>("ms");
    QTest::newRow("100 ms") << 100.0;
    QTest::newRow("fraction of a ms") << 0.25;
    QTest::newRow("3 s") << 3000.0;
}

void WaitsTest::delayWaitsAtLeastTheTimeAsked() {
    QFETCH(double, ms);
    TestPlatform tp;
    tp.time.advanceTo(86399.9);  // across what used to be midnight
    Waits waits(tp.time, tp.pump);
    const double start = tp.time.now();
    waits.Delay(ms);
    const double deadline = start + ms / 1000.0;
    QVERIFY(tp.time.now() >= deadline);
    // ...and no longer: a blocking wait wakes at its deadline.
    QCOMPARE(tp.time.now(), deadline);
}

void WaitsTest::zeroAndNegativeReturnAtOnceWithoutPumping_data() {
    QTest::addColumn<double>("ms");
    QTest::newRow("zero") << 0.0;
    QTest::newRow("negative") << -500.0;
}

void WaitsTest::zeroAndNegativeReturnAtOnceWithoutPumping() {
    QFETCH(double, ms);
    TestPlatform tp;
    Waits waits(tp.time, tp.pump);
    int polls = 0;
    waits.setReceivePoll([&] { ++polls; });
    bool delivered = false;
    tp.time.post([&] { delivered = true; });
    waits.Delay(ms);
    QCOMPARE(tp.time.passes, 0LL);
    QCOMPARE(polls, 0);
    QVERIFY(!delivered);
    QCOMPARE(tp.time.now(), 0.0);
}

void WaitsTest::delayDeliversEventsAndPollsEachPass() {
    TestPlatform tp;
    Waits waits(tp.time, tp.pump);
    int polls = 0;
    waits.setReceivePoll([&] { ++polls; });
    QList<double> seen;
    for (double t : {0.010, 0.020, 0.090}) {
        tp.time.at(t, [&, t] { tp.time.post([&, t] { seen << t; }); });
    }
    tp.time.at(0.150, [&] { tp.time.post([&] { seen << 0.150; }); });  // after the wait
    waits.Delay(100);
    QCOMPARE(seen, (QList<double>{0.010, 0.020, 0.090}));
    QCOMPARE(polls, tp.time.passes);
    QCOMPARE(polls, 4);  // three events, then the deadline
}

void WaitsTest::waitMsDoesNotPollTheSerialHandler() {
    TestPlatform tp;
    Waits waits(tp.time, tp.pump);
    int polls = 0;
    waits.setReceivePoll([&] { ++polls; });
    waits.WaitMs(100);
    QCOMPARE(polls, 0);
    QVERIFY(tp.time.now() >= 0.1);
}

void WaitsTest::delayBlocksInsteadOfSpinning() {
    TestPlatform tp;
    Waits waits(tp.time, tp.pump);
    waits.Delay(5000);
    // With nothing to deliver, one blocking wait covers the whole time.
    QCOMPARE(tp.time.blockingWaits, 1LL);
}

void WaitsTest::realDelayDeliversQtEventsAndEndsOnTime() {
    QtClock clock;
    QtEventPump pump(clock);
    Waits waits(clock, pump);
    int polls = 0;
    waits.setReceivePoll([&] { ++polls; });
    bool fired = false;
    QTimer::singleShot(20, [&] { fired = true; });
    const double start = clock.now();
    waits.Delay(150);
    const double elapsed = clock.now() - start;
    QVERIFY(fired);
    QVERIFY2(elapsed >= 0.150, qPrintable(QString::number(elapsed)));
    QVERIFY(polls >= 2);  // the timer's event, then the deadline
}

void WaitsTest::realDelayCanNest() {
    QtClock clock;
    QtEventPump pump(clock);
    Waits waits(clock, pump);
    double innerEnded = -1;
    QTimer::singleShot(10, [&] {
        waits.Delay(30);
        innerEnded = clock.now();
    });
    const double start = clock.now();
    waits.Delay(100);
    QVERIFY(innerEnded > 0);
    QVERIFY(clock.now() - start >= 0.100);
}

QTEST_MAIN(WaitsTest)
#include "test_waits.moc"
