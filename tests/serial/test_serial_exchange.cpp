// The serial link's rules, and the command exchange and receive handler
// through the session on simulated time: the drive's bytes are put at the port
// when the test says, and what the host sent is read off the line.
#include <QtTest>

#include "Bytes.h"
#include "Doubles.h"
#include "serial/DrivePackets.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QByteArray kPowerUp55 = bytes({0xFF, 0x05, 55});  // revision 5, KX-M1
const QString kBadPacket = QStringLiteral("Bad Powerup Packet\r\n");
const QString kOtherFamily =
    QStringLiteral("You must use Ortus Firmware downloader for this drive");
const QByteArray kQT("QT\r");

// The session started on COM1.
struct Bench {
    Bench() {
        tp.serial.setOpenResult(1, CommError::None);
        session.Form_Load();
    }
    // Drive bytes that reach the port `dt` seconds from now.
    void fromDrive(double dt, const QByteArray& b) {
        tp.time.after(dt, [this, b] { tp.serial.receiveFromDrive(b); });
    }
    bool send(const QString& command, bool waitReply) {
        serial().CommandText = command;
        return session.serialExchange().SendCommand(waitReply);
    }
    SerialState& serial() { return session.serialState(); }
    QString log() const { return seen.status; }

    TestPlatform tp;
    RecordingObserver seen;
    Session session{tp.platform, seen};
};

}  // namespace

class SerialExchangeTest : public QObject {
    Q_OBJECT
  private slots:
    // Revisions must show a point whatever the user's locale says.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

    void statusTextForByte() {
        QCOMPARE(StatusTextForByte('\r'), QStringLiteral("\r\n"));
        QCOMPARE(StatusTextForByte('\n'), QString());
        QCOMPARE(StatusTextForByte(0), QString(QChar(0)));
        QCOMPARE(StatusTextForByte(0xEE), QString(QChar(0xEE)));
        QCOMPARE(StatusTextForByte(0xEF), QString());
    }

    // A file's revision and model stand in for a boot-loader packet without a
    // revision when both fit a byte; otherwise revision 0 and model 31 do.
    void bootLoaderStandIn_data() {
        QTest::addColumn<QList<int>>("file");  // FileRevNumber, FileModelCode
        QTest::addColumn<QList<int>>("standIn");
        const QList<int> noFile{0, 31};
        QTest::newRow("1.00, the smallest") << QList<int>{100, 55} << QList<int>{0, 55};
        QTest::newRow("0.99") << QList<int>{99, 55} << noFile;
        QTest::newRow("3.55, the largest") << QList<int>{355, 51} << QList<int>{255, 51};
        QTest::newRow("3.56") << QList<int>{356, 55} << noFile;
        QTest::newRow("model 0") << QList<int>{105, 0} << QList<int>{5, 0};
        QTest::newRow("model 255") << QList<int>{105, 255} << QList<int>{5, 255};
        QTest::newRow("model 256") << QList<int>{105, 256} << noFile;
    }
    void bootLoaderStandIn() {
        QFETCH(QList<int>, file);
        QFETCH(QList<int>, standIn);
        const BootLoaderStandIn s = kestrel::bootLoaderStandIn(file[0], file[1]);
        QCOMPARE((QList<int>{s.revision, s.model}), standIn);
    }

    // What the drive sends after the command, at times from the call; what the
    // command leaves in RxBuffer, and how many bytes it leaves at the port.
    void commandReply_data() {
        QTest::addColumn<QList<double>>("times");
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("left");
        const QList<double> soon{0.005};
        QTest::newRow("over two reads, the rest left")
            << QList<double>{0.002, 0.010} << QByteArrayList{"SA=1", "05A\rNEXT"} << true
            << QByteArray("SA=105A\r") << 4;
        QTest::newRow("? dropped") << soon << QByteArrayList{"S?\r"} << true << QByteArray() << 0;
        QTest::newRow("% kept") << soon << QByteArrayList{"S%\r"} << true << QByteArray("S%\r")
                                << 0;
        QTest::newRow("? first kept")
            << soon << QByteArrayList{"?\r"} << true << QByteArray("?\r") << 0;
        QTest::newRow("CR at half a second")
            << QList<double>{0.1, 0.5} << QByteArrayList{"SA", "\r"} << true << QByteArray("SA\r")
            << 0;
        QTest::newRow("CR just late") << QList<double>{0.1, 0.501} << QByteArrayList{"SA", "\r"}
                                      << false << QByteArray() << 0;
        QTest::newRow("no reply") << QList<double>{} << QByteArrayList{} << false << QByteArray()
                                  << 0;
    }
    void commandReply() {
        QFETCH(QList<double>, times);
        QFETCH(QByteArrayList, pieces);
        QFETCH(bool, answered);
        QFETCH(QByteArray, stored);
        QFETCH(int, left);
        Bench b;
        b.tp.serial.receiveFromDrive("before the command\r");
        b.serial().RxBuffer = "previous\r";
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            b.fromDrive(times[i], pieces[i]);
        }
        const double start = b.tp.time.now();
        const long long passes = b.tp.time.passes;

        QCOMPARE(b.send(QStringLiteral("SA"), true), answered);

        QCOMPARE(b.serial().RxBuffer, stored);
        QCOMPARE(b.tp.serial.bytesWaiting(), left);
        QCOMPARE(b.log(),
                 answered ? QString() : QStringLiteral("Comm Port Timeout sending command\r\n"));
        QVERIFY(answered || b.tp.time.now() - start < 0.501);
        QCOMPARE(b.tp.serial.transmitted(), QByteArray("SA\r"));
        QCOMPARE(b.tp.time.passes, passes);  // nothing else ran meanwhile
        // It slept on the port between the drive's bytes instead of spinning.
        QVERIFY(b.tp.serial.blockingWaits > 0 && b.tp.serial.blockingWaits < 20);
        QVERIFY(!b.serial().CommandBusy);
    }

    void portNotOpen() {
        Bench b;
        b.tp.serial.close();
        b.serial().RxBuffer = "previous\r";
        // No reply can have come, whatever RxBuffer still holds; a command that
        // waits for none reports as before. Each says the port is not open.
        QVERIFY(!b.send(QStringLiteral("SA"), true));
        QVERIFY(b.send(QStringLiteral("PR5"), false));
        QCOMPARE(b.seen.texts(), QStringList(2, QStringLiteral("Comm Port Not Open")));
        QCOMPARE(b.serial().RxBuffer, QByteArray("previous\r"));
        QVERIFY(!b.serial().CommandBusy);
        QVERIFY(b.tp.serial.transmitted().isEmpty());
    }

    // Bytes as they come off the line, in pieces at given times, with a file
    // 1.05 for model 55 loaded; what the drive frame, the status log, the line
    // and the download button show afterwards.
    void fromTheDrive_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QList<double>>("times");
        QTest::addColumn<QByteArrayList>("pieces");
        // DriveRev, DriveModel, DriveModelCode, BootLoaderVersion
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("start");
        QTest::addColumn<int>("warnings");  // "use the other downloader" messages
        const QString before = QStringLiteral("before");
        const QStringList nothing{"0.00", "None", "0", "0"};
        const QStringList m1{"1.05", "KX-M1", "55", "0"};
        const QList<double> once{0};

        QTest::newRow("the rest of a power-up at half a second")
            << "" << QList<double>{0, 0.5} << QByteArrayList{"\xFF", "\x05\x37"} << m1 << "" << kQT
            << true << 0;
        QTest::newRow("power-up after a transfer is only acknowledged")
            << "after a transfer" << once << QByteArrayList{kPowerUp55} << m1 << before
            << QByteArray("00\r") << false << 0;
        QTest::newRow("unknown model, a marker as the last byte")
            << "" << once << QByteArrayList{bytes({0xFF, 0x05, 0xF0})}
            << QStringList{"1.05", "Unknown", "0", "0"} << before << QByteArray() << false << 0;
        QTest::newRow("CR inside a packet is data")
            << "" << QList<double>{0, 0.1} << QByteArrayList{"\xFF\r", "\x37"}
            << QStringList{"1.13", "KX-M1", "55", "0"} << "" << kQT << true << 0;
        QTest::newRow("LF inside a packet is dropped, the next byte completes it")
            << "" << QList<double>{0, 0.3} << QByteArrayList{"\xFF\n\x37", "\x14"}
            << QStringList{"1.55", "KX-D1", "20", "0"} << "" << kQT << true << 0;
        QTest::newRow("0xFF inside a packet is data")
            << "" << QList<double>{0, 0.1} << QByteArrayList{"\xF1\xFF", "A"}
            << QStringList{"3.55A", "None", "0", "0"} << before << QByteArray() << false << 0;
        QTest::newRow("a boot-loader marker inside a packet starts over")
            << "" << QList<double>{0, 0.3} << QByteArrayList{"\xFF", bytes({0xF0, 7, 49, 2})}
            << QStringList{"1.07", "KX-M3", "49", "2"} << "" << QByteArray() << true << 0;
        QTest::newRow("boot loader without a revision shows the file's")
            << "" << once << QByteArrayList{bytes({0xF0, 0xFF, 0x99, 0x15})}
            << QStringList{"1.05", "KX-M1", "55", "21"} << "" << QByteArray() << true << 0;
        QTest::newRow("boot loader during the download's boot-loader entry")
            << "boot entered" << once << QByteArrayList{bytes({0xF0, 0xFF, 0x99, 0x15})}
            << QStringList{"1.05", "KX-M1", "55", "21"} << "" << QByteArray() << false << 0;
        QTest::newRow("last byte too late")
            << "" << QList<double>{0, 0.6} << QByteArrayList{"\xFF\x05", "\x37"} << nothing
            << before + kBadPacket + "7" << QByteArray() << false << 0;
        QTest::newRow("revision packet, then a power-up with its suffix")
            << "" << QList<double>{0, 0.3} << QByteArrayList{bytes({0xF1, 7, 'B'}), kPowerUp55}
            << QStringList{"1.05B", "KX-M1", "55", "0"} << "" << kQT << true << 0;
        QTest::newRow("text around a packet; 0xF2 to 0xFE leave no trace, 0xEE shows")
            << "" << once
            << QByteArrayList{"OK\r\n" + bytes({0xF1, 5, 'C', 0xF2, 0xF8, 0xFE, 0xEE}) + "\r\n"}
            << QStringList{"1.05C", "None", "0", "0"} << before + "OK\r\n" + QChar(0xEE) + "\r\n"
            << QByteArray() << false << 0;
        QTest::newRow("other family, a warning per packet")
            << "" << QList<double>{0, 0.1}
            << QByteArrayList{bytes({0xEF, 0, 0}), bytes({0xEF, 1, 2})} << nothing << before
            << QByteArray() << false << 2;
    }
    void fromTheDrive() {
        QFETCH(QString, situation);
        QFETCH(QList<double>, times);
        QFETCH(QByteArrayList, pieces);
        QFETCH(QStringList, shown);
        QFETCH(QString, log);
        QFETCH(QByteArray, sent);
        QFETCH(bool, start);
        QFETCH(int, warnings);
        Bench b;
        b.session.firmwareState().FileRevNumber = 105;
        b.session.firmwareState().FileModelCode = 55;
        b.session.downloadState().DownloadDone = situation == "after a transfer";
        b.session.downloadState().BootEntered = situation == "boot entered";
        b.session.report().allowStartDownload(situation == "boot entered");
        b.session.report().appendStatus(QStringLiteral("before"));
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            b.fromDrive(0.01 + times[i], pieces[i]);
        }

        b.session.Delay(1500);

        const SerialState& s = b.serial();
        QCOMPARE((QStringList{b.seen.drive.revision, b.seen.drive.model,
                              QString::number(b.session.driveState().DriveModelCode),
                              QString::number(s.BootLoaderVersion)}),
                 shown);
        QCOMPARE(b.log(), log);
        QCOMPARE(b.tp.serial.transmitted(), sent);  // each packet is acted on once
        QCOMPARE(s.QTSent, sent == kQT);
        QCOMPARE(b.seen.actions.startDownload, start);
        QCOMPARE(b.seen.texts(), QStringList(warnings, kOtherFamily));
        QCOMPARE(b.tp.serial.bytesWaiting(), 0);
        QVERIFY(!s.PacketInProgress && s.RxBuffer.size() <= 3);
    }

    void incompletePacketTimesOutAfterHalfASecond() {
        Bench b;
        const double start = b.tp.time.now() + 0.01;
        b.fromDrive(0.01, "\xFF\x05");
        QString atHalf;
        QString justAfter;
        b.tp.time.at(start + 0.5, [&] { atHalf = b.log(); });
        b.tp.time.at(start + 0.501, [&] { justAfter = b.log() + b.serial().RxBuffer; });
        b.fromDrive(0.8, "OK");
        const long long passes = b.tp.time.passes;

        b.session.Delay(1000);

        QCOMPARE(atHalf, QString());
        QCOMPARE(justAfter, kBadPacket);
        QCOMPARE(b.log(), kBadPacket + "OK");
        QVERIFY2(b.tp.time.passes - passes < 50,
                 "the rest of the packet is waited for, not polled");
    }

    // Delay polls the handler on every pass, whichever link is in use, long
    // after the last receive event.
    void onlyBytesReallyWaitingSwitchToSerial() {
        Bench b;
        b.tp.serial.receiveFromDrive("OK");
        b.session.Delay(50);
        b.session.driveAddress().selectEthernet();
        b.session.downloadState().Downloading = true;  // an Ethernet download's waits
        b.session.Delay(500);
        b.session.downloadState().Downloading = false;
        b.session.Delay(500);
        QVERIFY((b.seen.link == Link::Ethernet));
        b.tp.serial.receiveFromDrive("X");
        b.session.Delay(50);
        QVERIFY((b.seen.link == Link::Serial));
    }

    void bytesArrivingWhileTheHandlerWaitsAreHandled() {
        Bench b;
        b.fromDrive(0.01, kPowerUp55);
        b.fromDrive(0.05, "OK\r\n");  // while the handler waits 100 ms after the packet
        // Only the port's own notices run the handler here, not Delay's polls.
        b.session.waits().WaitMs(500);
        QCOMPARE(b.tp.serial.transmitted(), kQT);
        QCOMPARE(b.log(), QStringLiteral("OK\r\n"));
        QCOMPARE(b.tp.serial.bytesWaiting(), 0);
        QVERIFY(!b.serial().InOnComm);
    }

    // The transfer reads the drive's flow control itself: the receive handler
    // must not take the bytes, not even those that came while it was busy.
    void aTransferOwnsThePort() {
        Bench b;
        b.fromDrive(0.01, kPowerUp55);
        b.tp.time.after(0.05, [&] {
            b.tp.serial.receiveFromDrive("\x13");
            b.session.downloadState().Downloading = true;
        });
        b.session.waits().WaitMs(500);
        QCOMPARE(b.tp.serial.bytesWaiting(), 1);

        b.tp.serial.receiveFromDrive(bytes({0xFF, 0x07, 49}));
        b.session.Delay(300);
        QCOMPARE(b.tp.serial.bytesWaiting(), 4);
        QCOMPARE(b.seen.drive.revision, QStringLiteral("1.05"));
        QCOMPARE(b.tp.serial.transmitted(), kQT);
    }
};

QTEST_MAIN(SerialExchangeTest)
#include "test_serial_exchange.moc"
