// The data-block transfer on simulated time, against the in-process simulated
// drive: what each way a block can end leaves in the status log and the
// counters, losses of data and acknowledgements in every order (the drive
// must end up with the image byte for byte), and the serial pacing.
#include <QtTest>

#include "TransferRig.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QString kTimedOut = QStringLiteral("Timed out waiting for ack packet...");
const QString kAckDropped =
    QStringLiteral("Inbound packet acknowledge dropped. Continuing with next packet...");
const QString kResent = QStringLiteral("Outbound packet dropped. Re-sending last packet...");
const QString kSendTimedOut = QStringLiteral("Timed Out waiting to send Data");

QString describe(const std::optional<drivesim::Verdict>& verdict) {
    return verdict ? verdict->describe() : QStringLiteral("no verdict");
}

// The transfer lets events through once per byte; on a real event loop such
// a pass costs microseconds, not the simulated millisecond of an idle pass.
void fastPasses(TestSession& ts) {
    ts.tp.time.passStep = 5e-6;
}

// The session on doubles with the simulated drive on its serial port, in the
// drive's boot loader at 115200 bit/s, downloading.
struct SerialRig {
    explicit SerialRig(drivesim::DriveOptions options = {}) : drive(ts.tp, std::move(options)) {
        fastPasses(ts);
        ts.tp.serial.setOpenResult(1, 0);
        ts.session.Form_Load();
        ts.tp.serial.write("B5827\r");
        ts.session.Delay(200);
        ts.tp.serial.setSettings(QStringLiteral("115200,N,8,1"));
        ts.tp.serial.clearTransmitted();
        ts.session.downloadState().Downloading = true;
    }
    int sendBlock(const QByteArray& block) {
        ++ts.session.downloadState().BlockCount;
        return ts.session.dataBlockTransfer().SendDataBlock(block,
                                                            static_cast<int>(block.size()) - 1);
    }
    TestSession ts;
    SimulatedDriveLink drive;
};

constexpr double kByteTime = 10.0 / 115200;

// The session on doubles, its port open and downloading, with nothing but the
// test at the far end of the line: it records when each byte arrives there,
// and scripts the drive's bytes.
struct ScriptedLine final : SerialPeer {
    explicit ScriptedLine(const QString& settings = QStringLiteral("115200,N,8,1")) {
        fastPasses(ts);
        ts.tp.serial.setOpenResult(1, 0);
        ts.session.Form_Load();
        ts.tp.serial.setSettings(settings);
        ts.tp.serial.setPeer(this);
        ts.session.downloadState().Downloading = true;
    }
    ~ScriptedLine() override { ts.tp.serial.setPeer(nullptr); }
    int send(const QByteArray& block) {
        return ts.session.dataBlockTransfer().SendDataBlock(block,
                                                            static_cast<int>(block.size()) - 1);
    }
    void hostBytes(const QByteArray& bytes) override {
        for (char c : bytes) {
            arrivals.push_back({ts.tp.time.now(), c});
        }
    }
    QByteArray received() const {
        QByteArray all;
        for (const auto& a : arrivals) {
            all.append(a.second);
        }
        return all;
    }
    double now() const { return ts.tp.time.now(); }

    TestSession ts;
    std::vector<std::pair<double, char>> arrivals;
};

}  // namespace

class BlockTransferTest : public QObject {
    Q_OBJECT
  private slots:
    void ethernetBlockOutcomes_data();
    void ethernetBlockOutcomes();
    void lossesInEveryOrder_data();
    void lossesInEveryOrder();
    void seededLosses_data();
    void seededLosses();
    void countsPastSixteenBits();
    void driveTextDuringAckWait_data();
    void driveTextDuringAckWait();
    void quitEndsTheAckWait();

    void serialImageUnderXonXoff();
    void serialPauseSendsEachByteOnce();
    void serialTimeOuts_data();
    void serialTimeOuts();
    void serialQuitDuringHold();
    void serialErrorStopsTheBlock();
    void serialPortNotOpen();
};

// ------------------------------------------------------------------ Ethernet

void BlockTransferTest::ethernetBlockOutcomes_data() {
    QTest::addColumn<bool>("dropData");      // the drive never gets a data datagram
    QTest::addColumn<bool>("dropAcks");      // the host never gets an acknowledgement
    QTest::addColumn<bool>("ignoreCounts");  // the drive never answers a count query
    QTest::addColumn<int>("lostSend");       // index of a data datagram lost (-1: none)
    QTest::addColumn<double>("dataLate");    // the first data datagram arrives this late
    QTest::addColumn<double>("ackLate");     // the first acknowledgement arrives this late
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("sent");         // DataPacketsSent afterwards
    QTest::addColumn<double>("duration");  // from the first send to the result

    const double latency = 0.0004;  // there and back on the simulated network
    QTest::newRow("acknowledged") << false << false << false << -1 << 0.0 << 0.0 << 0 << QString()
                                  << 1 << latency;
    QTest::newRow("ack lost, drive has the block")
        << false << true << false << -1 << 0.0 << 0.0 << 0 << kTimedOut + kAckDropped << 1 << 5.1;
    QTest::newRow("ack lost, count queries unanswered")
        << false << true << true << -1 << 0.0 << 0.0 << 2 << kTimedOut << 1 << 5.4;
    QTest::newRow("never arrives")
        << true << false << false << -1 << 0.0 << 0.0 << 3
        << kTimedOut + kResent + kResent + kResent + kResent << 5 << 25.4;
    QTest::newRow("lost once, the resend acknowledged")
        << false << false << false << 0 << 0.0 << 0.0 << 0 << kTimedOut + kResent << 2
        << 5.1 + latency;
    // An acknowledgement that comes during the count waits: the count decides.
    QTest::newRow("late ack, drive has the block")
        << false << false << false << -1 << 0.0 << 5.05 << 0 << kTimedOut + kAckDropped << 1 << 5.1;
    QTest::newRow("late ack, count says lost")
        << false << false << false << -1 << 5.02 << 0.0 << 0 << kTimedOut << 1 << 5.1;
    QTest::newRow("late ack, count queries unanswered")
        << false << false << true << -1 << 5.02 << 0.0 << 2 << kTimedOut << 1 << 5.4;
}

void BlockTransferTest::ethernetBlockOutcomes() {
    QFETCH(bool, dropData);
    QFETCH(bool, dropAcks);
    QFETCH(bool, ignoreCounts);
    QFETCH(int, lostSend);
    QFETCH(double, dataLate);
    QFETCH(double, ackLate);
    QFETCH(int, result);
    QFETCH(QString, status);
    QFETCH(int, sent);
    QFETCH(double, duration);

    const QByteArray image = testImage(200);
    EthernetRig rig(expecting(image, optionsWith([&](drivesim::DriveOptions& o) {
                                  o.dropDataFraction = dropData ? 1.0 : 0.0;
                                  o.dropAckFraction = dropAcks ? 1.0 : 0.0;
                                  o.ignoreCountQueries = ignoreCounts;
                              })));
    if (lostSend >= 0) {
        rig.udp.lostData.insert(lostSend);
    }
    if (dataLate > 0) {
        rig.udp.lateData[0] = dataLate;
    }
    if (ackLate > 0) {
        rig.udp.lateAcks[0] = ackLate;
    }
    rig.startDownload();
    rig.seen.status.clear();
    const double start = rig.now();
    QCOMPARE(rig.sendBlock(image), result);
    QVERIFY2(qAbs(rig.now() - start - duration) < 0.002,
             qPrintable(QStringLiteral("took %1 s").arg(rig.now() - start)));
    QCOMPARE(rig.seen.status, status);
    QCOMPARE(rig.session.downloadState().DataPacketsSent, sent);
    QVERIFY(rig.seen.shown.empty());
    if (result == 0 && !dropData) {
        const auto verdict = rig.verdict();
        QVERIFY2(verdict && verdict->identical && verdict->duplicates == 0,
                 qPrintable(describe(verdict)));
    }
}

void BlockTransferTest::lossesInEveryOrder_data() {
    QTest::addColumn<QList<int>>("lostData");  // by index of data datagram sent
    QTest::addColumn<QList<int>>("lostAcks");  // by index of acknowledgement sent
    QTest::addColumn<int>("resends");
    QTest::addColumn<int>("ackDrops");
    // Eight blocks; block 1's first send is datagram 1, and so on until a loss.
    QTest::newRow("data, then an ack") << QList<int>{1} << QList<int>{3} << 1 << 1;
    QTest::newRow("an ack, then data") << QList<int>{3} << QList<int>{1} << 1 << 1;
    QTest::newRow("the resend's ack") << QList<int>{2} << QList<int>{2} << 1 << 1;
    QTest::newRow("data and its first resend") << QList<int>{2, 3} << QList<int>{} << 2 << 0;
    QTest::newRow("the second resend's ack") << QList<int>{2, 3} << QList<int>{2} << 2 << 1;
    QTest::newRow("every ack") << QList<int>{} << QList<int>{0, 1, 2, 3, 4, 5, 6, 7} << 0 << 8;
    QTest::newRow("every ack after a lost datagram")
        << QList<int>{0} << QList<int>{0, 1, 2, 3, 4, 5, 6, 7} << 1 << 8;
}

void BlockTransferTest::lossesInEveryOrder() {
    QFETCH(QList<int>, lostData);
    QFETCH(QList<int>, lostAcks);
    QFETCH(int, resends);
    QFETCH(int, ackDrops);

    const QByteArray image = testImage(1600);
    EthernetRig rig(expecting(image));
    rig.udp.lostData = {lostData.begin(), lostData.end()};
    rig.udp.lostAcks = {lostAcks.begin(), lostAcks.end()};
    rig.startDownload();
    const int result = rig.sendImage(image);
    const auto verdict = rig.verdict();
    QVERIFY2(result == 0 && verdict && verdict->identical && verdict->duplicates == 0,
             qPrintable(QStringLiteral("result %1, %2\n%3\n%4")
                            .arg(result)
                            .arg(describe(verdict), rig.seen.status, rig.drive.transcriptText())));
    QCOMPARE(rig.seen.status.count(kResent), resends);
    QCOMPARE(rig.seen.status.count(kAckDropped), ackDrops);
    QCOMPARE(rig.session.downloadState().DataPacketsSent, 8 + resends);
    QCOMPARE(rig.session.downloadState().BlocksDelivered, 8);
}

void BlockTransferTest::seededLosses_data() {
    QTest::addColumn<quint32>("seed");
    for (const quint32 seed : {1u, 2u, 3u, 4u, 5u}) {
        QTest::addRow("seed %u", seed) << seed;
    }
}

void BlockTransferTest::seededLosses() {
    QFETCH(quint32, seed);
    const QByteArray image = testImage(8000);
    EthernetRig rig(expecting(image, optionsWith([seed](drivesim::DriveOptions& o) {
                                  o.dropDataFraction = 0.2;
                                  o.dropAckFraction = 0.2;
                                  o.seed = seed;
                              })));
    rig.startDownload();
    const int result = rig.sendImage(image);
    const auto verdict = rig.verdict();
    const QString replay =
        QStringLiteral("seed %1: result %2, %3").arg(seed).arg(result).arg(describe(verdict));
    QVERIFY2(result == 0 && verdict && verdict->identical && verdict->duplicates == 0,
             qPrintable(replay));
    QVERIFY2(verdict->datagramsDropped > 0 && verdict->acksDropped > 0, qPrintable(replay));
}

void BlockTransferTest::countsPastSixteenBits() {
    // One-byte blocks, so that the drive's 16-bit count wraps; an ack lost and
    // a datagram lost after the wrap must still be told apart.
    const QByteArray image = testImage(66000);
    EthernetRig rig(
        expecting(image, optionsWith([](drivesim::DriveOptions& o) { o.dotEveryDatagrams = 0; })));
    rig.udp.lostAcks = {65540};
    rig.udp.lostData = {65600};
    rig.startDownload();
    QCOMPARE(rig.sendImage(image, 1), 0);
    const auto verdict = rig.verdict();
    QVERIFY2(verdict && verdict->identical && verdict->duplicates == 0,
             qPrintable(describe(verdict)));
    QCOMPARE(rig.session.downloadState().DataPacketsSent, 66001);
    QCOMPARE(rig.seen.status, kTimedOut + kAckDropped + kTimedOut + kResent);
}

void BlockTransferTest::driveTextDuringAckWait_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("hold");  // TransmitHold afterwards
    QTest::addColumn<bool>("dot");   // LastDotBlock now the block's number
    QTest::newRow("CR LF") << QByteArray("OK\r\n") << QStringLiteral("OK\n\r") << 0 << false
                           << false;
    QTest::newRow("LF alone") << QByteArray("\n") << QString() << 0 << false << false;
    QTest::newRow("progress mark") << QByteArray(".") << QString() << 0 << false << true;
    QTest::newRow("XOFF, no effect on sending")
        << QByteArray("\x13") << QString() << 0 << true << false;
    QTest::newRow("XOFF then XON") << QByteArray("\x13\x11") << QString() << 0 << false << false;
    QTest::newRow("E") << QByteArray("ab E.") << QStringLiteral("ab E") << 1 << true << false;
}

void BlockTransferTest::driveTextDuringAckWait() {
    QFETCH(QByteArray, text);
    QFETCH(QString, status);
    QFETCH(int, result);
    QFETCH(bool, hold);
    QFETCH(bool, dot);

    const QByteArray image = testImage(200);
    EthernetRig rig(
        expecting(image, optionsWith([](drivesim::DriveOptions& o) { o.dotEveryDatagrams = 0; })));
    rig.startDownload();
    rig.seen.status.clear();
    rig.session.downloadState().BlockCount = 6;
    // Before the acknowledgement, which takes 0.4 ms there and back.
    rig.tp.time.after(0.0001, [&rig, text] {
        rig.tp.udp.receiveFromNetwork(datagram(15, text), EthernetRig::driveAddress());
    });
    QCOMPARE(rig.sendBlock(image), result);
    QCOMPARE(rig.seen.status, status);
    QCOMPARE(rig.session.downloadState().TransmitHold, hold);
    QCOMPARE(rig.session.downloadState().LastDotBlock, dot ? 7 : 0);
}

void BlockTransferTest::quitEndsTheAckWait() {
    const QByteArray image = testImage(200);
    EthernetRig rig(
        expecting(image, optionsWith([](drivesim::DriveOptions& o) { o.dropDataFraction = 1.0; })));
    rig.startDownload();
    const auto sentBefore = rig.tp.udp.sent().size();
    rig.tp.time.after(2.0, [&rig] { rig.session.Quit_Click(); });
    const double start = rig.now();
    QCOMPARE(rig.sendBlock(image), BlockResult::Stopped);
    QVERIFY(rig.now() - start < 2.01);
    QCOMPARE(rig.tp.udp.sent().size(), sentBefore + 1);  // the block, nothing after it
    QVERIFY(rig.seen.shown.empty());
    QCOMPARE(rig.seen.endCount, 1);
}

// -------------------------------------------------------------------- serial

void BlockTransferTest::serialImageUnderXonXoff() {
    // The drive takes 8000 bytes/s of the line's 11520: it must pause the
    // host several times.
    const QByteArray image = testImage(8192);
    SerialRig rig(expecting(image));
    for (qsizetype at = 0; at < image.size(); at += 256) {
        QCOMPARE(rig.sendBlock(image.mid(at, 256)), 0);
    }
    rig.ts.tp.serial.setSettings(QStringLiteral("9600,N,8,1"));
    rig.ts.session.Delay(2000);
    const auto verdict = rig.drive.lastVerdict();
    QVERIFY2(verdict && verdict->identical && verdict->xoffsSent > 0 && verdict->overruns == 0,
             qPrintable(describe(verdict)));
    QCOMPARE(rig.ts.session.downloadState().LastDotBlock, 32);
}

void BlockTransferTest::serialPauseSendsEachByteOnce() {
    ScriptedLine line;
    const double xoffAt = line.now() + 100.5 * kByteTime;
    const long long& passes = line.ts.tp.time.passes;
    long long passesAtXoff = 0;
    long long passesAtXon = 0;
    line.ts.tp.time.at(xoffAt, [&] {
        passesAtXoff = passes;
        line.ts.tp.serial.receiveFromDrive("\x13");
    });
    line.ts.tp.time.at(xoffAt + 0.05, [&] {
        passesAtXon = passes;
        line.ts.tp.serial.receiveFromDrive("\x11");
    });
    const QByteArray block = testImage(256);
    QCOMPARE(line.send(block), 0);
    line.ts.tp.time.advanceBy(0.001);  // the last byte leaves the port
    QCOMPARE(line.received(), block);
    // Within a byte or two of the XOFF nothing more went out until the XON,
    // and the hold slept in the event loop instead of spinning through it.
    for (const auto& [time, byte] : line.arrivals) {
        QVERIFY(time < xoffAt + 2 * kByteTime || time > xoffAt + 0.05);
    }
    QVERIFY2(passesAtXon - passesAtXoff < 50, qPrintable(QString::number(passesAtXon)));
    QVERIFY(!line.ts.session.downloadState().TransmitHold);
    QVERIFY(line.ts.seen.status.isEmpty());
}

void BlockTransferTest::serialTimeOuts_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<double>("xoffAt");  // the drive's XOFF, never followed by XON (0: none)
    QTest::addColumn<double>("endsAt");
    QTest::newRow("XOFF held for 10 s") << QStringLiteral("115200,N,8,1") << 0.002 << 10.002;
    // At 1 bit/s a byte takes ten seconds to leave the port.
    QTest::newRow("output queue not empty for 5 s") << QStringLiteral("1,N,8,1") << 0.0 << 5.0;
}

void BlockTransferTest::serialTimeOuts() {
    QFETCH(QString, settings);
    QFETCH(double, xoffAt);
    QFETCH(double, endsAt);
    ScriptedLine line(settings);
    const double start = line.now();
    long long passesAtXoff = 0;
    if (xoffAt > 0) {
        line.ts.tp.time.at(start + xoffAt, [&] {
            passesAtXoff = line.ts.tp.time.passes;
            line.ts.tp.serial.receiveFromDrive("\x13");
        });
    }
    const QByteArray block = testImage(256);
    QCOMPARE(line.send(block), BlockResult::SendTimeout);
    QVERIFY2(line.now() - start >= endsAt && line.now() - start < endsAt + 0.002,
             qPrintable(QString::number(line.now() - start)));
    QCOMPARE(line.ts.seen.status, kSendTimedOut);
    const QByteArray sent = line.ts.tp.serial.transmitted();
    QVERIFY(sent.size() < block.size() && block.startsWith(sent));
    if (xoffAt > 0) {
        QVERIFY2(line.ts.tp.time.passes - passesAtXoff < 50,
                 qPrintable(QString::number(line.ts.tp.time.passes - passesAtXoff)));
    }
}

void BlockTransferTest::serialQuitDuringHold() {
    ScriptedLine line;
    const double quitAt = line.now() + 1.0;
    line.ts.tp.time.after(0.01, [&line] { line.ts.tp.serial.receiveFromDrive("\x13"); });
    line.ts.tp.time.at(quitAt, [&line] { line.ts.session.Quit_Click(); });
    QCOMPARE(line.send(testImage(256)), BlockResult::Stopped);
    QVERIFY(line.now() < quitAt + 0.001);
    QCOMPARE(line.ts.seen.endCount, 1);
    QVERIFY(line.ts.seen.shown.empty());
}

void BlockTransferTest::serialErrorStopsTheBlock() {
    const QByteArray image = testImage(256);
    SerialRig rig(
        expecting(image, optionsWith([](drivesim::DriveOptions& o) { o.errorAtByte = 100; })));
    rig.ts.seen.status.clear();
    QCOMPARE(rig.sendBlock(image), BlockResult::DriveError);
    QCOMPARE(rig.ts.seen.status, QStringLiteral("E"));
    QVERIFY(rig.ts.session.downloadState().TransmitHold);
    // The drive's "E" takes a byte's time to come back: a byte or two more left.
    const QByteArray sent = rig.ts.tp.serial.transmitted();
    QVERIFY2(sent.size() > 100 && sent.size() <= 103, qPrintable(QString::number(sent.size())));
    QVERIFY(image.startsWith(sent));
}

void BlockTransferTest::serialPortNotOpen() {
    TestSession ts;
    ts.session.Form_Load();  // COM1 does not open
    ts.seen.shown.clear();
    ts.seen.status.clear();
    QVERIFY(!ts.tp.serial.isOpen());
    QCOMPARE(ts.session.dataBlockTransfer().SendDataBlock(testImage(256), 255),
             BlockResult::PortNotOpen);
    QVERIFY(ts.seen.shown.empty());
    QVERIFY(ts.seen.status.isEmpty());
    QVERIFY(ts.tp.serial.transmitted().isEmpty());
}

QTEST_GUILESS_MAIN(BlockTransferTest)
#include "test_block_transfer.moc"
