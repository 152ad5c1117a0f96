// The data-block transfer on simulated time against the in-process simulated
// drive: how an Ethernet block can end and when, losses of data and
// acknowledgements in every order (the drive must end with the image byte for
// byte), the drive's text, and serial pacing under XON/XOFF.
#include <QtTest>

#include "TransferRig.h"

using namespace kestrel;
using namespace kestrel::testing;

Q_DECLARE_METATYPE(kestrel::testing::Faults)

namespace {

const QString kTimedOut = QStringLiteral("Timed out waiting for ack packet...");
const QString kAckDropped =
    QStringLiteral("Inbound packet acknowledge dropped. Continuing with next packet...");
const QString kResent = QStringLiteral("Outbound packet dropped. Re-sending last packet...");
const QString kSendTimedOut = QStringLiteral("Timed Out waiting to send Data");
constexpr double kByteTime = 10.0 / 115200;

Faults lost(std::initializer_list<int> indexes) {
    Faults faults;
    for (const int i : indexes) {
        faults[i] = -1;
    }
    return faults;
}

// The Ethernet link chosen and the simulated drive's boot loader waiting for
// `image`, as in a download.
struct EthernetRig : Rig {
    explicit EthernetRig(const QByteArray& image, drivesim::DriveOptions o = {})
        : Rig(prepared(image, o), true) {
        session.udpChannel().UDP_DCLcommand("B5827", 0);
        session.dataBlockTransfer().SendStartPacket();
        seen.status.clear();
    }
    static drivesim::DriveOptions prepared(const QByteArray& image, drivesim::DriveOptions o) {
        o.quietTime = 60.0;  // the drive's end of image must outlast the host's waits and resends
        o.dotEveryDatagrams = 0;
        return expecting(image, o);
    }
    // Lets the drive see the end of the image and judge it.
    std::optional<drivesim::Verdict> verdict() {
        session.waits().WaitMs(60500);
        return drive.lastVerdict();
    }
};

}  // namespace

class BlockTransferTest : public QObject {
    Q_OBJECT
  private slots:
    // A block's outcomes, and whole images through losses in every order.
    void ethernet_data() {
        QTest::addColumn<Faults>("data");
        QTest::addColumn<Faults>("acks");
        QTest::addColumn<int>("drops");  // the drive's seed for 20 % random losses (0: none), or
                                         // -1: it leaves count queries unanswered
        QTest::addColumn<int>("blockSize");
        QTest::addColumn<int>("blocks");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("status");   // null: not checked
        QTest::addColumn<int>("sent");         // DataPacketsSent afterwards (-1: not checked)
        QTest::addColumn<double>("duration");  // from the first send to the result (0: not checked)
        const Faults none;
        const QString T = kTimedOut, A = kAckDropped, R = kResent;
        const double trip = 0.0004;  // there and back on the simulated network
        auto row = [](const char* name, const Faults& data, const Faults& acks, int drops,
                      int blockSize, int blocks, int result, const QString& status, int sent,
                      double duration) {
            QTest::newRow(name) << data << acks << drops << blockSize << blocks << result << status
                                << sent << duration;
        };
        row("acknowledged", none, none, 0, 200, 1, 0, "", 1, trip);
        row("ack lost, drive has it", none, lost({0}), 0, 200, 1, 0, T + A, 1, 5.1);
        row("ack lost, counts unanswered", none, lost({0}), -1, 200, 1, 2, T, 1, 5.4);
        row("never arrives", lost({0, 1, 2, 3, 4}), none, 0, 200, 1, 3, T + R.repeated(4), 5, 25.4);
        row("lost once", lost({0}), none, 0, 200, 1, 0, T + R, 2, 5.1 + trip);
        // An acknowledgement during the count waits: the count decides.
        row("late ack, drive has it", none, {{0, 5.05}}, 0, 200, 1, 0, T + A, 1, 5.1);
        row("late ack, count says lost", {{0, 5.02}}, none, 0, 200, 1, 0, T, 1, 5.1);
        row("late ack, counts unanswered", {{0, 5.02}}, none, -1, 200, 1, 2, T, 1, 5.4);
        // Eight blocks: block 1's first send is datagram 1, and so on until a loss.
        row("data, then an ack", lost({1}), lost({3}), 0, 200, 8, 0, T + R + T + A, 9, 0);
        row("an ack, then data", lost({3}), lost({1}), 0, 200, 8, 0, T + A + T + R, 9, 0);
        row("the resend's ack", lost({2}), lost({2}), 0, 200, 8, 0, T + R + A, 9, 0);
        row("data and resend", lost({2, 3}), none, 0, 200, 8, 0, T + R + R, 10, 0);
        row("2nd resend's ack", lost({2, 3}), lost({2}), 0, 200, 8, 0, T + R + R + A, 10, 0);
        row("every ack", none, lost({0, 1, 2, 3, 4, 5, 6, 7}), 0, 200, 8, 0, (T + A).repeated(8), 8,
            0);
        // One-byte blocks, so that the drive's 16-bit count wraps.
        row("past 16 bits", lost({65600}), lost({65540}), 0, 1, 66000, 0, T + A + T + R, 66001, 0);
        for (const int seed : {1, 2, 3, 4, 5}) {
            QTest::addRow("seed %d", seed)
                << none << none << seed << 200 << 40 << 0 << QString() << -1 << 0.0;
        }
    }
    void ethernet() {
        QFETCH(Faults, data);
        QFETCH(Faults, acks);
        QFETCH(int, drops);
        QFETCH(int, blockSize);
        QFETCH(int, blocks);
        QFETCH(int, result);
        QFETCH(QString, status);
        QFETCH(int, sent);
        QFETCH(double, duration);
        const QByteArray image = testImage(blockSize * blocks);
        EthernetRig rig(image, optionsWith([drops](auto& o) {
                            o.ignoreCountQueries = drops < 0;
                            o.dropDataFraction = o.dropAckFraction = drops > 0 ? 0.2 : 0.0;
                            o.seed = drops;
                        }));
        rig.udp.data = data;
        rig.udp.acks = acks;
        const double start = rig.tp.time.now();
        QCOMPARE(sendImage(rig.session, image, blockSize), result);
        const double took = rig.tp.time.now() - start;
        QVERIFY2(duration == 0 || qAbs(took - duration) < 0.002, qPrintable(QString::number(took)));
        QVERIFY(status.isNull() || rig.seen.status == status);
        QVERIFY(sent < 0 || rig.session.downloadState().DataPacketsSent == sent);
        QVERIFY(rig.seen.shown.empty());
        if (result == 0) {
            const auto verdict = rig.verdict();
            QVERIFY2(rig.confirmed(), qPrintable(rig.seen.status));
            QVERIFY(drops <= 0 || (verdict->datagramsDropped > 0 && verdict->acksDropped > 0));
            QCOMPARE(rig.session.downloadState().BlocksDelivered, blocks);
        }
    }

    void driveTextDuringAckWait_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("ringAt");  // where the text ring's indexes start
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("result");
        QTest::addColumn<bool>("hold");  // TransmitHold afterwards
        QTest::addColumn<int>("dotBlock");
        QTest::newRow("CR LF") << QByteArray("OK\r\n") << 0 << "OK\n\r" << 0 << false << 0;
        QTest::newRow("ring wraps") << QByteArray("OK\r\n") << 199 << "OK\n\r" << 0 << false << 0;
        QTest::newRow("LF alone") << QByteArray("\n") << 0 << "" << 0 << false << 0;
        QTest::newRow(".") << QByteArray(".") << 0 << "" << 0 << false << 7;
        QTest::newRow("XOFF") << QByteArray("\x13") << 0 << "" << 0 << true << 0;
        QTest::newRow("XOFF XON") << QByteArray("\x13\x11") << 0 << "" << 0 << false << 0;
        QTest::newRow("E") << QByteArray("ab E.") << 0 << "ab E" << 1 << true << 0;
    }
    void driveTextDuringAckWait() {
        QFETCH(QByteArray, text);
        QFETCH(int, ringAt);
        const QByteArray image = testImage(200);
        EthernetRig rig(image);
        rig.session.udpState().UdpRingRead = rig.session.udpState().UdpRingWrite = ringAt;
        rig.session.downloadState().BlockCount = 6;
        // Before the acknowledgement, which takes 0.4 ms there and back.
        rig.tp.time.after(0.0001, [&rig, text] {
            rig.tp.udp.receiveFromNetwork(datagram(15, text), rig.drive.address());
        });
        QTEST(sendImage(rig.session, image, 200), "result");
        QTEST(rig.seen.status, "status");
        QTEST(rig.session.downloadState().TransmitHold, "hold");
        QTEST(rig.session.downloadState().LastDotBlock, "dotBlock");
    }

    void quitEndsTheAckWait() {
        const QByteArray image = testImage(200);
        EthernetRig rig(image);
        rig.udp.data = lost({0});
        const auto sentBefore = rig.tp.udp.sent().size();
        rig.tp.time.after(2.0, [&rig] { rig.session.Quit_Click(); });
        QCOMPARE(sendImage(rig.session, image, 200), BlockResult::Stopped);
        QVERIFY(rig.tp.time.now() < 2.01);
        QCOMPARE(rig.tp.udp.sent().size(), sentBefore);  // no count query, no resend
        QVERIFY(rig.seen.shown.empty());
    }

    // A block under the drive's XON/XOFF, and each way it can end early.
    void serial_data() {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QByteArray>("drive");  // what the drive sends at `at`
        QTest::addColumn<double>("at");
        QTest::addColumn<double>("xonAt");   // 0: no XON
        QTest::addColumn<double>("quitAt");  // 0: no Quit
        QTest::addColumn<int>("result");
        QTest::addColumn<double>("endsAt");  // 0: not checked
        QTest::addColumn<QString>("status");
        const QString fast = QStringLiteral("115200,N,8,1");
        const double mid = 100.5 * kByteTime;
        const QByteArray xoff("\x13");
        QTest::newRow("XOFF, XON") << fast << xoff << mid << mid + 0.05 << 0.0 << 0 << 0.0 << "";
        QTest::newRow("XOFF held 10 s")
            << fast << xoff << 0.002 << 0.0 << 0.0 << 4 << 10.002 << kSendTimedOut;
        // At 1 bit/s a byte takes ten seconds to leave the port; the Quit ends
        // a wait that would take each byte's ten seconds in turn.
        QTest::newRow("output queue full 5 s") << QStringLiteral("1,N,8,1") << QByteArray() << 0.0
                                               << 0.0 << 12.0 << 4 << 5.0 << kSendTimedOut;
        QTest::newRow("Quit in a hold") << fast << xoff << 0.01 << 0.0 << 1.0 << 6 << 1.0 << "";
        QTest::newRow("E") << fast << QByteArray("E") << mid << 0.0 << 0.0 << 1 << mid << "E";
    }
    void serial() {
        QFETCH(QString, settings);
        QFETCH(QByteArray, drive);
        QFETCH(double, at);
        QFETCH(double, xonAt);
        QFETCH(double, quitAt);
        QFETCH(int, result);
        QFETCH(double, endsAt);
        TestSession ts;  // nobody at the drive's end of the line but the test
        SimTime& time = ts.tp.time;
        time.passStep = 5e-6;  // a real event pass costs microseconds
        ts.tp.serial.setOpenResult(1, 0);
        ts.session.Form_Load();
        ts.tp.serial.setSettings(settings);
        ts.session.downloadState().Downloading = true;  // the drive's bytes are the transfer's
        const double start = time.now();
        at += start;
        xonAt += xonAt > 0 ? start : 0;
        quitAt += quitAt > 0 ? start : 0;
        endsAt += endsAt > 0 ? start : 0;
        long long held = -1;  // event passes from the drive's byte to the XON or the end
        qsizetype sentByThen = -1;
        if (!drive.isEmpty()) {
            time.at(at, [&] {
                held = -time.passes;
                ts.tp.serial.receiveFromDrive(drive);
            });
        }
        // A byte time after the drive's byte nothing more goes until the XON.
        time.at(at + 2 * kByteTime, [&] { sentByThen = ts.tp.serial.transmitted().size(); });
        if (xonAt > 0) {
            time.at(xonAt, [&] {
                held += time.passes;
                QCOMPARE(ts.tp.serial.transmitted().size(), sentByThen);
                ts.tp.serial.receiveFromDrive("\x11");
            });
        }
        if (quitAt > 0) {
            time.at(quitAt, [&ts] { ts.session.Quit_Click(); });
        }
        const QByteArray block = testImage(256);
        QCOMPARE(ts.session.dataBlockTransfer().SendDataBlock(block, 255), result);
        QVERIFY2(endsAt == 0 || (time.now() >= endsAt && time.now() < endsAt + 0.002),
                 qPrintable(QString::number(time.now())));
        held += xonAt > 0 ? 0 : time.passes;
        QVERIFY2(drive.isEmpty() || held < 50, "the hold spins");
        QTEST(ts.seen.status, "status");
        QVERIFY(ts.seen.shown.empty());
        QCOMPARE(ts.session.downloadState().TransmitHold, !drive.isEmpty() && xonAt == 0);
        time.advanceBy(0.001);  // the last byte leaves the port
        // The bytes before the drive's byte went (each a little slower than the
        // line), the paused one once, none skipped.
        const QByteArray sent = ts.tp.serial.transmitted();
        QVERIFY2(static_cast<double>(sent.size()) >= (at - start) / (1.1 * kByteTime) &&
                     block.startsWith(sent),
                 qPrintable(QString::number(sent.size())));
        QVERIFY(xonAt > 0 ? sent == block : sent.size() == sentByThen);
    }
};

QTEST_GUILESS_MAIN(BlockTransferTest)
#include "test_block_transfer.moc"
