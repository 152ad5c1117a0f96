// The command exchange and the receive handler through the session on simulated
// time: the drive's bytes reach the port when the test says.
#include <QtTest>

#include "Bytes.h"
#include "Doubles.h"
#include "SessionProbe.h"
#include "serial/DrivePackets.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QByteArray kPowerUp55 = bytes({0xFF, 0x05, 55});  // revision 5, KX-M1
const QByteArray kQT("QT\r");

// The session started on COM1.
struct Bench : TestSession {
    Bench() {
        tp.serial.setOpenResult(1, CommError::None);
        session.Form_Load();
    }
    // The drive's pieces, each reaching the port at its time from now.
    void fromDrive(const QList<double>& times, const QByteArrayList& pieces) {
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            tp.time.after(times[i], [this, b = pieces[i]] { tp.serial.receiveFromDrive(b); });
        }
    }
    bool send(const QString& command, bool waitReply) {
        serial().CommandText = command;
        return SessionProbe(session).serialExchange().SendCommand(waitReply);
    }
    SerialState& serial() { return session.serialState(); }
};

}  // namespace

class SerialExchangeTest : public QObject {
    Q_OBJECT
  private slots:
    // Revisions must show a point whatever the user's locale says.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }

    // A loaded file's revision and model stand in for a boot-loader packet
    // without a revision only when both fit a byte: 1.00 to 3.55, models to 255.
    void bootLoaderStandIn_data() {
        QTest::addColumn<QList<int>>("numbers");  // FileRevNumber, FileModelCode; the stand-in's
        QTest::newRow("1.00") << QList<int>{100, 55, 0, 55};
        QTest::newRow("0.99") << QList<int>{99, 55, 0, 31};  // no file: revision 0, model 31
        QTest::newRow("3.55") << QList<int>{355, 51, 255, 51};
        QTest::newRow("3.56") << QList<int>{356, 55, 0, 31};
        QTest::newRow("model 255") << QList<int>{105, 255, 5, 255};
        QTest::newRow("model 256") << QList<int>{105, 256, 0, 31};
    }
    void bootLoaderStandIn() {
        QFETCH(QList<int>, numbers);
        const BootLoaderStandIn s = kestrel::bootLoaderStandIn(numbers[0], numbers[1]);
        QCOMPARE((QList<int>{s.revision, s.model}), numbers.mid(2));
    }

    // The drive's reply to "SA" at times from the call: what the command leaves
    // in RxBuffer and how many bytes it leaves at the port.
    void commandReply_data() {
        QTest::addColumn<QList<double>>("times");
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QByteArray>("stored");  // null: no reply in time
        QTest::addColumn<int>("left");
        QTest::newRow("over two reads, the rest left")
            << QList<double>{0.002, 0.010} << QByteArrayList{"SA=1", "05A\rNEXT"}
            << QByteArray("SA=105A\r") << 4;
        // A "?" second is the drive refusing the command.
        QTest::newRow("? dropped")
            << QList<double>{0.005} << QByteArrayList{"S?\r"} << QByteArray("") << 0;
        QTest::newRow("CR at half a second")
            << QList<double>{0.1, 0.5} << QByteArrayList{"SA", "\r"} << QByteArray("SA\r") << 0;
        QTest::newRow("CR just late")
            << QList<double>{0.1, 0.501} << QByteArrayList{"SA", "\r"} << QByteArray() << 0;
    }
    void commandReply() {
        QFETCH(QByteArray, stored);
        Bench b;
        b.tp.serial.receiveFromDrive("before the command\r");
        b.serial().RxBuffer = "previous\r";
        QFETCH(QList<double>, times);
        QFETCH(QByteArrayList, pieces);
        b.fromDrive(times, pieces);
        const long long passes = b.tp.time.passes;

        QCOMPARE(b.send(QStringLiteral("SA"), true), !stored.isNull());

        QCOMPARE(b.serial().RxBuffer, stored.isNull() ? QByteArray("") : stored);
        QTEST(b.tp.serial.bytesWaiting(), "left");
        QCOMPARE(
            b.seen.status,
            QString::fromLatin1(stored.isNull() ? "Comm Port Timeout sending command\r\n" : ""));
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
        // An old RxBuffer must not pass for a reply; a command that waits for
        // none reports as before. Each says the port is not open.
        QVERIFY(!b.send(QStringLiteral("SA"), true));
        QVERIFY(b.send(QStringLiteral("PR5"), false));
        QCOMPARE(b.seen.texts(), QStringList(2, QStringLiteral("Comm Port Not Open")));
        QCOMPARE(b.serial().RxBuffer, QByteArray("previous\r"));
        QVERIFY(b.tp.serial.transmitted().isEmpty());
    }

    // Bytes off the line in pieces at given times, with a file 1.05 for model
    // 55 loaded; what the drive frame, the status log, the line and the
    // download button show afterwards.
    void fromTheDrive_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QList<double>>("times");
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QStringList>("shown");  // revision, model, model code, boot loader
        QTest::addColumn<QString>("log");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("start");
        QTest::addColumn<int>("warnings");  // "use the other downloader" messages
        const QString before = QStringLiteral("before");
        const QStringList nothing{"0.00", "None", "0", "0"}, m1{"1.05", "KX-M1", "55", "0"};
        const QList<double> once{0}, late{0, 0.501};
        auto row = [](const char* name, const char* situation, const QList<double>& times,
                      const QByteArrayList& pieces, const QStringList& shown, const QString& log,
                      const QByteArray& sent, bool start, int warnings = 0) {
            QTest::newRow(name) << situation << times << pieces << shown << log << sent << start
                                << warnings;
        };
        row("power-up's last byte at half a second", "", {0, 0.5}, {"\xFF", "\x05\x37"}, m1, "",
            kQT, true);
        row("power-up's last byte just late", "", late, {"\xFF\x05", "\x37"}, nothing,
            before + "Bad Powerup Packet\r\n7", "", false);
        row("power-up after a transfer: only acknowledged", "after a transfer", once, {kPowerUp55},
            m1, before, "00\r", false);
        row("unknown model, a marker as the last byte", "", once, {bytes({0xFF, 0x05, 0xF0})},
            {"1.05", "Unknown", "0", "0"}, before, "", false);
        row("CR inside a packet is data", "", {0, 0.1}, {"\xFF\r", "\x37"},
            {"1.13", "KX-M1", "55", "0"}, "", kQT, true);
        row("LF inside a packet dropped, not counted", "", {0, 0.3}, {"\xFF\n\x37", "\x14"},
            {"1.55", "KX-D1", "20", "0"}, "", kQT, true);
        row("0xFF inside a packet is data", "", {0, 0.1}, {"\xF1\xFF", "A"},
            {"3.55A", "None", "0", "0"}, before, "", false);
        row("a boot-loader marker inside a packet starts over", "", {0, 0.3},
            {"\xFF", bytes({0xF0, 7, 49, 2})}, {"1.07", "KX-M3", "49", "2"}, "", "", true);
        row("boot loader without a revision shows the file's", "", once,
            {bytes({0xF0, 0xFF, 0x99, 0x15})}, {"1.05", "KX-M1", "55", "21"}, "", "", true);
        row("revision packet, then a power-up with its suffix", "", {0, 0.3},
            {bytes({0xF1, 7, 'B'}), kPowerUp55}, {"1.05B", "KX-M1", "55", "0"}, "", kQT, true);
        // 0xEE is the last byte shown as text; 0xEF up never show.
        row("text around a packet", "", once,
            {"OK\r\n" + bytes({0xF1, 5, 'C', 0xF2, 0xF8, 0xFE, 0xEE}) + "\r\n"},
            {"1.05C", "None", "0", "0"}, before + "OK\r\n" + QChar(0xEE) + "\r\n", "", false);
        row("other family, a warning per packet", "", {0, 0.1},
            {bytes({0xEF, 0, 0}), bytes({0xEF, 1, 2})}, nothing, before, "", false, 2);
        // Their receive notice is spent while the handler waits after the packet.
        row("text while the handler waits after a packet", "", {0, 0.04}, {kPowerUp55, "OK\r\n"},
            m1, "OK\r\n", kQT, true);
    }
    void fromTheDrive() {
        QFETCH(QString, situation);
        QFETCH(QByteArray, sent);
        Bench b;
        b.session.firmwareState().FileRevNumber = 105;
        b.session.firmwareState().FileModelCode = 55;
        b.session.downloadState().DownloadDone = situation == "after a transfer";
        b.session.report().appendStatus(QStringLiteral("before"));
        QFETCH(QList<double>, times);
        QFETCH(QByteArrayList, pieces);
        b.fromDrive(times, pieces);
        const long long passes = b.tp.time.passes;

        SessionProbe(b.session).waits().WaitMs(
            1500);  // only the port's own notices run the handler

        const SerialState& s = b.serial();
        QTEST((QStringList{b.seen.drive.revision, b.seen.drive.model,
                           QString::number(b.session.driveState().DriveModelCode),
                           QString::number(s.BootLoaderVersion)}),
              "shown");
        QTEST(b.seen.status, "log");
        QCOMPARE(b.tp.serial.transmitted(), sent);  // each packet is acted on once
        QCOMPARE(s.QTSent, sent == kQT);
        QTEST(b.seen.actions.startDownload, "start");
        QFETCH(int, warnings);
        QCOMPARE(b.seen.texts(),
                 QStringList(warnings, "You must use Ortus Firmware downloader for this drive"));
        QCOMPARE(b.tp.serial.bytesWaiting(), 0);
        QVERIFY(!s.PacketInProgress && !s.InOnComm && s.RxBuffer.size() <= 3);
        // The rest of a packet is slept for, not polled.
        QVERIFY2(b.tp.time.passes - passes < 200, qPrintable(QString::number(passes)));
    }

    // Delay polls the handler on every pass whichever link is in use, long
    // after the last receive event: only bytes really waiting switch to serial.
    void onlyBytesReallyWaitingSwitchToSerial() {
        Bench b;
        b.tp.serial.receiveFromDrive("OK");
        b.session.Delay(50);
        SessionProbe(b.session).driveAddress().selectEthernet();
        b.session.downloadState().Downloading = true;  // an Ethernet download's waits
        b.session.Delay(500);
        b.session.downloadState().Downloading = false;
        b.session.Delay(500);
        QVERIFY((b.seen.link == Link::Ethernet));
        b.tp.serial.receiveFromDrive("X");
        b.session.Delay(50);
        QVERIFY((b.seen.link == Link::Serial));
    }

    // The transfer reads the drive's flow control itself: the receive handler
    // must not take the bytes, not even those that came while it was busy.
    void aTransferOwnsThePort() {
        Bench b;
        b.fromDrive({0.01}, {kPowerUp55});
        b.tp.time.after(0.05, [&] {
            b.tp.serial.receiveFromDrive("\x13");
            b.session.downloadState().Downloading = true;
        });
        SessionProbe(b.session).waits().WaitMs(500);
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
