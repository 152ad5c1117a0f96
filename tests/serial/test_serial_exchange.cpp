// The command exchange with the drive and the receive handler, through the
// session on simulated time: the drive's bytes are put at the port when
// the test says, or come from the simulated drive, and what the host sent is
// read off the line.
#include <QtTest>

#include "Bytes.h"
#include "Doubles.h"
#include "SimulatedDriveLink.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QByteArray kPowerUp55 = bytes({0xFF, 0x05, 55});  // revision 5, KX-M1
const QString kBadPacket = QStringLiteral("Bad Powerup Packet\r\n");
const QString kOtherFamily =
    QStringLiteral("You must use Ortus Firmware downloader for this drive");

// The session started on COM1; given options, with the simulated drive attached.
struct Bench {
    explicit Bench(std::optional<drivesim::DriveOptions> options = {}) {
        if (options) {
            drive = std::make_unique<SimulatedDriveLink>(tp, *options);
        }
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
    QStringList driveShown() const {
        return {seen.drive.revision, seen.drive.model, seen.drive.description};
    }
    void allowStart(bool allowed) { session.report().allowStartDownload(allowed); }

    TestPlatform tp;
    std::unique_ptr<SimulatedDriveLink> drive;
    RecordingObserver seen;
    Session session{tp.platform, seen};
};

}  // namespace

class SerialExchangeTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void commandReply_data();
    void commandReply();
    void portNotOpen();
    void powerUp_data();
    void powerUp();
    void bootLoaderPacket_data();
    void bootLoaderPacket();
    void otherFamilyPacketWarnsOncePerPacket();
    void collection_data();
    void collection();
    void incompletePacketTimesOutAfterHalfASecond();
    void pollWithNothingWaitingLeavesTheLinkAlone();
    void bytesArrivingWhileTheHandlerWaitsAreHandled();
    void aTransferOwnsThePort();
    void simulatedDrive_data();
    void simulatedDrive();
};

// Revisions must show a point whatever the user's locale says.
void SerialExchangeTest::initTestCase() {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
}

// What the drive sends after the command, at times from the call; what the
// command leaves in RxBuffer, and how many bytes it leaves at the port.
void SerialExchangeTest::commandReply_data() {
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
    QTest::newRow("% kept") << soon << QByteArrayList{"S%\r"} << true << QByteArray("S%\r") << 0;
    QTest::newRow("? first kept") << soon << QByteArrayList{"?\r"} << true << QByteArray("?\r")
                                  << 0;
    QTest::newRow("CR alone kept") << soon << QByteArrayList{"\r"} << true << QByteArray("\r") << 0;
    QTest::newRow("CR just in time") << QList<double>{0.1, 0.499} << QByteArrayList{"SA", "\r"}
                                     << true << QByteArray("SA\r") << 0;
    QTest::newRow("CR just late") << QList<double>{0.1, 0.501} << QByteArrayList{"SA", "\r"}
                                  << false << QByteArray() << 0;
    QTest::newRow("no reply") << QList<double>{} << QByteArrayList{} << false << QByteArray() << 0;
}

void SerialExchangeTest::commandReply() {
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
    if (!answered) {
        QVERIFY(b.tp.time.now() - start > 0.5 && b.tp.time.now() - start < 0.501);
    }
    QCOMPARE(b.tp.serial.transmitted(), QByteArray("SA\r"));
    QCOMPARE(b.tp.time.passes, passes);  // nothing else ran meanwhile
    // It slept on the port between the drive's bytes instead of spinning.
    QVERIFY(b.tp.serial.blockingWaits > 0 && b.tp.serial.blockingWaits < 20);
    QVERIFY(!b.serial().CommandBusy);
}

void SerialExchangeTest::portNotOpen() {
    Bench b;
    b.tp.serial.close();
    b.serial().RxBuffer = "previous\r";
    // No reply can have come, whatever RxBuffer still holds; a command that
    // waits for none reports as before. Each says the port is not open.
    QVERIFY(!b.send(QStringLiteral("SA"), true));
    QVERIFY(b.send(QStringLiteral("PR5"), false));
    QCOMPARE(b.seen.texts(), QStringList(2, QStringLiteral("Comm Port Not Open")));
    QCOMPARE(b.seen.shown[0].icon, MessageIcon::None);
    QCOMPARE(b.serial().RxBuffer, QByteArray("previous\r"));
    QVERIFY(!b.serial().CommandBusy);
    b.session.waits().WaitMs(10);
    QVERIFY(b.tp.serial.transmitted().isEmpty());
}

// A power-up packet for each row of the model table. A known model is
// answered with "QT", which enables the download, unless the drive restarts
// after a transfer.
void SerialExchangeTest::powerUp_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<bool>("done");          // DownloadDone
    QTest::addColumn<QStringList>("shown");  // DriveRev, DriveModel, DriveDesc
    QTest::addColumn<QByteArray>("sent");
    const QString nema = QStringLiteral("NEMA %1 Integrated Step Motor & Drive");
    const QStringList unknown{"1.05", "Unknown", ""};
    const QByteArray qt("QT\r");
    QTest::newRow("20") << 20 << false << QStringList{"1.05", "KX-D1", "Stepper Drive"} << qt;
    QTest::newRow("21") << 21 << false << QStringList{"1.05", "KX-D2", "Stepper Drive"} << qt;
    QTest::newRow("49") << 49 << false << QStringList{"1.05", "KX-M3", nema.arg(23)} << qt;
    QTest::newRow("51") << 51 << false << QStringList{"1.05", "KX-M4", nema.arg(24)} << qt;
    QTest::newRow("55") << 55 << false << QStringList{"1.05", "KX-M1", nema.arg(17)} << qt;
    QTest::newRow("55 after a transfer, only acknowledged")
        << 55 << true << QStringList{"1.05", "KX-M1", nema.arg(17)} << QByteArray("00\r");
    QTest::newRow("0") << 0 << false << unknown << QByteArray();
    QTest::newRow("41, not in the table") << 41 << false << unknown << QByteArray();
}

void SerialExchangeTest::powerUp() {
    QFETCH(int, model);
    QFETCH(bool, done);
    QFETCH(QStringList, shown);
    QFETCH(QByteArray, sent);
    const bool enabled = sent == "QT\r";
    Bench b;
    b.session.downloadState().DownloadDone = done;
    b.serial().QTSent = done;  // so that every row shows a change
    b.serial().BootLoaderVersion = 5;
    b.session.driveState().DriveModelCode = 20;
    b.allowStart(!enabled && !done);
    b.session.report().appendStatus(QStringLiteral("kept"));
    b.tp.serial.receiveFromDrive(bytes({0xFF, 0x05, model}));

    b.session.Delay(200);

    QCOMPARE(b.driveShown(), shown);
    // A model the table does not know leaves no code to match a file against.
    QCOMPARE(b.session.driveState().DriveModelCode, shown[1] == "Unknown" ? 0 : model);
    QCOMPARE(b.serial().BootLoaderVersion, 0);
    QCOMPARE(b.serial().QTSent, enabled);
    QCOMPARE(b.seen.actions.startDownload, enabled);
    QCOMPARE(b.log(), enabled ? QString() : QStringLiteral("kept"));
    QCOMPARE(b.tp.serial.transmitted(), sent);
    QVERIFY(b.seen.shown.empty());

    // Later polls find the packet handled: it is acted on once.
    b.allowStart(!enabled);
    b.session.Delay(500);
    QCOMPARE(b.seen.actions.startDownload, !enabled);
    QCOMPARE(b.tp.serial.transmitted(), sent);
}

// The boot loader sends 0xFF for a revision it does not know; the loaded
// file's revision and model stand in, when they fit a byte.
void SerialExchangeTest::bootLoaderPacket_data() {
    QTest::addColumn<QList<int>>("file");    // FileRevNumber, FileModelCode
    QTest::addColumn<QList<int>>("packet");  // revision and model bytes
    QTest::addColumn<bool>("bootEntered");
    QTest::addColumn<QStringList>("shown");  // DriveRev, DriveModel
    QTest::addColumn<int>("code");
    const QList<int> unknownRev{0xFF, 0x99};
    const QStringList noFile{"1.00", "Unknown"};
    QTest::newRow("file 1.05 for 55")
        << QList<int>{105, 55} << unknownRev << false << QStringList{"1.05", "KX-M1"} << 55;
    QTest::newRow("no file") << QList<int>{0, 0} << unknownRev << false << noFile << 0;
    QTest::newRow("file 3.55 for 51, the largest revision")
        << QList<int>{355, 51} << unknownRev << false << QStringList{"3.55", "KX-M4"} << 51;
    QTest::newRow("revision past a byte")
        << QList<int>{356, 55} << unknownRev << false << noFile << 0;
    QTest::newRow("revision below 1.00")
        << QList<int>{99, 55} << unknownRev << false << noFile << 0;
    QTest::newRow("model 255, the largest")
        << QList<int>{105, 255} << unknownRev << false << QStringList{"1.05", "Unknown"} << 0;
    QTest::newRow("model past a byte")
        << QList<int>{105, 311} << unknownRev << false << noFile << 0;
    QTest::newRow("the drive's own revision") << QList<int>{105, 55} << QList<int>{0x07, 49}
                                              << false << QStringList{"1.07", "KX-M3"} << 49;
    QTest::newRow("during the download's boot-loader entry")
        << QList<int>{105, 55} << unknownRev << true << QStringList{"1.05", "KX-M1"} << 55;
}

void SerialExchangeTest::bootLoaderPacket() {
    QFETCH(QList<int>, file);
    QFETCH(QList<int>, packet);
    QFETCH(bool, bootEntered);
    QFETCH(QStringList, shown);
    QFETCH(int, code);
    Bench b;
    b.session.firmwareState().FileRevNumber = static_cast<qint16>(file[0]);
    b.session.firmwareState().FileModelCode = static_cast<qint16>(file[1]);
    b.session.downloadState().BootEntered = bootEntered;
    b.allowStart(bootEntered);
    b.serial().QTSent = true;
    b.session.report().appendStatus(QStringLiteral("Download Firmware command Sent\r\n"));
    b.tp.serial.receiveFromDrive(bytes({0xF0, packet[0], packet[1], 0x15}));

    b.session.Delay(200);

    QCOMPARE(b.driveShown().mid(0, 2), shown);
    QCOMPARE(b.session.driveState().DriveModelCode, code);
    QCOMPARE(b.serial().BootLoaderVersion, 0x15);
    QCOMPARE(b.seen.actions.startDownload, !bootEntered);
    QCOMPARE(b.log(), QString());
    QVERIFY(b.serial().RxBuffer.isEmpty());
    QVERIFY(!b.serial().QTSent);
    QVERIFY(b.tp.serial.transmitted().isEmpty());
}

void SerialExchangeTest::otherFamilyPacketWarnsOncePerPacket() {
    Bench b;
    b.allowStart(true);
    b.tp.serial.receiveFromDrive(bytes({0xEF, 0x00, 0x00}));
    b.session.Delay(1000);
    QCOMPARE(b.seen.texts(), QStringList{kOtherFamily});
    QCOMPARE(b.seen.shown[0].icon, MessageIcon::None);
    QVERIFY(b.seen.actions.startDownload);
    QVERIFY(b.tp.serial.transmitted().isEmpty());

    b.fromDrive(0.1, bytes({0xEF, 0x01, 0x02}));
    b.session.Delay(1000);
    QCOMPARE(b.seen.texts(), (QStringList{kOtherFamily, kOtherFamily}));
}

// Bytes as they come off the line, in pieces at given times; what the
// window shows afterwards.
void SerialExchangeTest::collection_data() {
    QTest::addColumn<QList<double>>("times");
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QStringList>("shown");  // DriveRev, DriveModel
    QTest::addColumn<QString>("log");
    QTest::addColumn<QByteArray>("sent");
    const QString before = QStringLiteral("before");
    const QStringList nothing{"0.00", "None"};
    const QStringList m1{"1.05", "KX-M1"};
    const QByteArray qt("QT\r");

    QTest::newRow("power-up byte by byte within half a second")
        << QList<double>{0, 0.2, 0.45} << QByteArrayList{"\xFF", "\x05", "\x37"} << m1 << "" << qt;
    QTest::newRow("CR inside a packet is data")
        << QList<double>{0, 0.1} << QByteArrayList{"\xFF\r", "\x37"} << QStringList{"1.13", "KX-M1"}
        << "" << qt;
    QTest::newRow("LF inside a packet is dropped, the next byte completes it")
        << QList<double>{0, 0.3} << QByteArrayList{"\xFF\n\x37", "\x14"}
        << QStringList{"1.55", "KX-D1"} << "" << qt;
    QTest::newRow("0xFF inside a packet is data")
        << QList<double>{0, 0.1} << QByteArrayList{"\xF1\xFF", "A"} << QStringList{"3.55A", "None"}
        << before << QByteArray();
    QTest::newRow("a new marker inside a packet starts over")
        << QList<double>{0, 0.3} << QByteArrayList{"\xFF", bytes({0xF0, 7, 55, 2})}
        << QStringList{"1.07", "KX-M1"} << "" << QByteArray();
    QTest::newRow("a marker as the last byte completes the packet")
        << QList<double>{0} << QByteArrayList{bytes({0xFF, 0x05, 0xF0})}
        << QStringList{"1.05", "Unknown"} << before << QByteArray();
    QTest::newRow("last byte too late")
        << QList<double>{0, 0.6} << QByteArrayList{"\xFF\x05", "\x37"} << nothing
        << before + kBadPacket + "7" << QByteArray();
    QTest::newRow("revision packet, then a power-up with its suffix")
        << QList<double>{0, 0.3} << QByteArrayList{bytes({0xF1, 7, 'B'}), kPowerUp55}
        << QStringList{"1.05B", "KX-M1"} << "" << qt;
    QTest::newRow("text before and after a packet")
        << QList<double>{0} << QByteArrayList{"OK\r\n" + bytes({0xF1, 5, 'C'}) + "\r\n"}
        << QStringList{"1.05C", "None"} << before + "OK\r\n\r\n"
        << QByteArray();
    QTest::newRow("0xF2 to 0xFE leave no trace, 0xEE shows")
        << QList<double>{0} << QByteArrayList{bytes({'A', 0xF2, 0xF8, 0xFE, 0xEE, 'B'})} << nothing
        << before + "A" + QChar(0xEE) + "B" << QByteArray();
}

void SerialExchangeTest::collection() {
    QFETCH(QList<double>, times);
    QFETCH(QByteArrayList, pieces);
    QFETCH(QStringList, shown);
    QFETCH(QString, log);
    QFETCH(QByteArray, sent);
    Bench b;
    b.session.report().appendStatus(QStringLiteral("before"));
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        b.fromDrive(0.01 + times[i], pieces[i]);
    }

    b.session.Delay(1500);

    QCOMPARE(b.driveShown().mid(0, 2), shown);
    QCOMPARE(b.log(), log);
    QCOMPARE(b.tp.serial.transmitted(), sent);
    QCOMPARE(b.tp.serial.bytesWaiting(), 0);
    QVERIFY(!b.serial().PacketInProgress);
    QVERIFY(b.seen.shown.empty());
}

void SerialExchangeTest::incompletePacketTimesOutAfterHalfASecond() {
    Bench b;
    const double start = b.tp.time.now() + 0.01;
    b.fromDrive(0.01, "\xFF\x05");
    QString atHalf;
    QString justAfter;
    QByteArray heldJustAfter;
    b.tp.time.at(start + 0.5, [&] { atHalf = b.log(); });
    b.tp.time.at(start + 0.501, [&] {
        justAfter = b.log();
        heldJustAfter = b.serial().RxBuffer;
    });
    b.fromDrive(0.8, "OK");
    const long long passes = b.tp.time.passes;

    b.session.Delay(1000);

    QCOMPARE(atHalf, QString());
    QCOMPARE(justAfter, kBadPacket);
    QCOMPARE(heldJustAfter, QByteArray());
    QCOMPARE(b.log(), kBadPacket + "OK");
    QVERIFY2(b.tp.time.passes - passes < 50, "the rest of the packet is waited for, not polled");
    QVERIFY(b.tp.serial.transmitted().isEmpty());
    QCOMPARE(b.driveShown()[0], QStringLiteral("0.00"));
}

void SerialExchangeTest::pollWithNothingWaitingLeavesTheLinkAlone() {
    Bench b;
    b.tp.serial.receiveFromDrive("OK");  // the last event is now "receive" for good
    b.session.Delay(50);
    b.session.driveAddress().selectEthernet();
    b.session.Delay(500);
    QVERIFY((b.seen.link == Link::Ethernet));
    b.session.downloadState().Downloading = true;  // an Ethernet download's waits
    b.session.Delay(500);
    QVERIFY((b.seen.link == Link::Ethernet));
    b.session.downloadState().Downloading = false;

    // Bytes that really arrive still show the drive is on the serial line.
    b.tp.serial.receiveFromDrive("X");
    b.session.Delay(50);
    QVERIFY((b.seen.link == Link::Serial));
}

void SerialExchangeTest::bytesArrivingWhileTheHandlerWaitsAreHandled() {
    Bench b;
    b.fromDrive(0.01, kPowerUp55);
    b.fromDrive(0.05, "OK\r\n");  // while the handler waits 100 ms after the packet
    // Only the port's own notices run the handler here, not Delay's polls.
    b.session.waits().WaitMs(500);
    QCOMPARE(b.tp.serial.transmitted(), QByteArray("QT\r"));
    QCOMPARE(b.log(), QStringLiteral("OK\r\n"));
    QCOMPARE(b.tp.serial.bytesWaiting(), 0);
    QVERIFY(!b.serial().InOnComm);
}

// The transfer reads the drive's flow control itself: the receive handler
// must not take the bytes, not even those that came while it was busy.
void SerialExchangeTest::aTransferOwnsThePort() {
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
    QCOMPARE(b.driveShown()[0], QStringLiteral("1.05"));
    QCOMPARE(b.tp.serial.transmitted(), QByteArray("QT\r"));
    QCOMPARE(b.log(), QString());
}

// The simulated drive runs the same protocol engine as kestrel-drive-sim, so
// the updater and the drive must agree, not only the updater and its own
// reading of the protocol.
void SerialExchangeTest::simulatedDrive_data() {
    QTest::addColumn<bool>("blank");  // no firmware: it starts in its boot loader
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("with firmware") << false << QStringList{"1.05", "KX-M1"};
    QTest::newRow("blank, file 2.10 for 51 loaded") << true << QStringList{"2.10", "KX-M4"};
}

void SerialExchangeTest::simulatedDrive() {
    QFETCH(bool, blank);
    QFETCH(QStringList, shown);
    drivesim::DriveOptions options;
    options.blank = blank;
    Bench b(options);
    b.session.firmwareState().FileRevNumber = 210;
    b.session.firmwareState().FileModelCode = 51;

    b.drive->powerUp();
    b.session.Delay(500);

    QCOMPARE(b.driveShown().mid(0, 2), shown);
    QVERIFY(b.seen.actions.startDownload);
    const QString transcript = b.drive->transcriptText();
    QVERIFY2(transcript.contains(QLatin1String("command \"QT\"")) != blank, qPrintable(transcript));
}

QTEST_MAIN(SerialExchangeTest)
#include "test_serial_exchange.moc"
