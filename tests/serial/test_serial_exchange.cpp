// The command exchange with the drive and the receive handler, through the
// real window on simulated time: the drive's bytes are put at the port when
// the test says, and what the host sent is read off the line.
#include <QPushButton>
#include <QtTest>

#include "Bytes.h"
#include "Doubles.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QByteArray kPowerUp55 = bytes({0xFF, 0x05, 55});  // revision 5, KX-M1
const QString kNema17 = QStringLiteral("NEMA 17 Integrated Step Motor & Drive");
const QString kBadPacket = QStringLiteral("Bad Powerup Packet\r\n");
const QString kOtherFamily =
    QStringLiteral("You must use Ortus Firmware downloader for this drive");

// A drive that answers whole command lines with scripted bytes, each piece
// a given time after the command's CR reached it.
class ScriptedDrive final : public SerialPeer {
  public:
    struct Piece {
        double delay;
        QByteArray bytes;
    };
    explicit ScriptedDrive(TestPlatform& tp) : tp_(tp) { tp_.serial.setPeer(this); }
    ~ScriptedDrive() override { tp_.serial.setPeer(nullptr); }
    ScriptedDrive(const ScriptedDrive&) = delete;
    ScriptedDrive& operator=(const ScriptedDrive&) = delete;

    void answer(const QByteArray& command, QList<Piece> pieces) { answers_[command] = pieces; }

    void hostBytes(const QByteArray& received) override {
        line_ += received;
        if (!line_.endsWith('\r')) {
            return;
        }
        const QByteArray command = line_.chopped(1);
        line_.clear();
        commands << command;
        for (const Piece& piece : answers_.value(command)) {
            tp_.time.after(piece.delay,
                           [this, b = piece.bytes] { tp_.serial.receiveFromDrive(b); });
        }
    }
    QByteArrayList commands;

  private:
    TestPlatform& tp_;
    QByteArray line_;
    QMap<QByteArray, QList<Piece>> answers_;
};

// The window started on COM1 with a drive attached.
struct Bench {
    Bench() {
        tp.serial.setOpenResult(1, CommError::None);
        form = std::make_unique<Mainform>(tp.platform);
        form->Form_Load();
    }
    // Drive bytes that reach the port `dt` seconds from now.
    void fromDrive(double dt, const QByteArray& b) {
        tp.time.after(dt, [this, b] { tp.serial.receiveFromDrive(b); });
    }
    SerialState& serial() { return form->serialState(); }
    SerialExchange& exchange() { return form->serialExchange(); }
    QString log() const { return form->statusText(); }

    TestPlatform tp;
    std::unique_ptr<Mainform> form;
};

}  // namespace

class SerialExchangeTest : public QObject {
    Q_OBJECT
  private slots:
    // Commands and replies.
    void sendWithoutWaitingWritesTheLineAndReturnsAtOnce();
    void replyIsAssembledUpToItsCrAndTheRestWaits();
    void replies_data();
    void replies();
    void replyTimeOutIsExact_data();
    void replyTimeOutIsExact();
    void portNotOpen();
    void busyCommandKeepsTheReceiverOffThePort();

    // The drive's packets.
    void powerUpWithAKnownModel_data();
    void powerUpWithAKnownModel();
    void powerUpAfterATransferIsOnlyAcknowledged();
    void powerUpWithoutAKnownModelIsActedOnOnce_data();
    void powerUpWithoutAKnownModelIsActedOnOnce();
    void bootLoaderPacket_data();
    void bootLoaderPacket();
    void revisionPacketSetsTheSuffix();
    void otherFamilyPacketWarnsOncePerPacket();
    void collection_data();
    void collection();
    void incompletePacketTimesOutAfterHalfASecond();

    // The receive handler and the rest of the window.
    void pollWithNothingWaitingLeavesTheLinkAlone();
    void bytesArrivingWhileTheHandlerWaitsAreHandled();
    void bytesArrivingWhenATransferStartsAreLeftToIt();
    void nothingIsHandledDuringATransfer();
};

// ---- Commands and replies ----

void SerialExchangeTest::sendWithoutWaitingWritesTheLineAndReturnsAtOnce() {
    Bench b;
    b.tp.serial.receiveFromDrive("stale");
    b.serial().RxBuffer = "old\r";
    b.serial().CommandText = QStringLiteral("QT");
    const double start = b.tp.time.now();

    QVERIFY(b.exchange().SendCommand(false));

    QCOMPARE(b.tp.time.now(), start);
    QVERIFY(b.serial().RxBuffer.isEmpty());
    QCOMPARE(b.tp.serial.bytesWaiting(), 0);
    QVERIFY(!b.serial().CommandBusy);
    b.form->waits().WaitMs(10);
    QCOMPARE(b.tp.serial.transmitted(), QByteArray("QT\r"));
    QCOMPARE(b.log(), QString());  // the discarded bytes never reach the log
}

void SerialExchangeTest::replyIsAssembledUpToItsCrAndTheRestWaits() {
    Bench b;
    ScriptedDrive drive(b.tp);
    drive.answer("SV", {{0.002, "SV=1"}, {0.010, "05A\rNEXT"}});
    b.tp.serial.receiveFromDrive("before the command\r");
    b.serial().CommandText = QStringLiteral("SV");
    const long long passes = b.tp.time.passes;

    QVERIFY(b.exchange().SendCommand(true));

    QCOMPARE(b.serial().RxBuffer, QByteArray("SV=105A\r"));
    QCOMPARE(b.tp.time.passes, passes);  // no event was delivered meanwhile
    QCOMPARE(b.tp.serial.bytesWaiting(), 4);
    QVERIFY(!b.serial().CommandBusy);
    b.form->Delay(50);
    QCOMPARE(b.log(), QStringLiteral("NEXT"));
}

void SerialExchangeTest::replies_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("question mark: dropped") << QByteArray("S?\r") << QByteArray();
    QTest::newRow("percent: kept") << QByteArray("S%\r") << QByteArray("S%\r");
    QTest::newRow("CR alone: kept") << QByteArray("\r") << QByteArray("\r");
    QTest::newRow("question mark first: kept") << QByteArray("?\r") << QByteArray("?\r");
}

void SerialExchangeTest::replies() {
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, stored);
    Bench b;
    ScriptedDrive drive(b.tp);
    drive.answer("SA", {{0.005, reply}});
    b.serial().CommandText = QStringLiteral("SA");
    QVERIFY(b.exchange().SendCommand(true));
    QCOMPARE(b.serial().RxBuffer, stored);
    QCOMPARE(b.log(), QString());
    QVERIFY(b.tp.messages.shown.empty());
}

void SerialExchangeTest::replyTimeOutIsExact_data() {
    QTest::addColumn<double>("crAt");
    QTest::addColumn<bool>("answered");
    QTest::newRow("CR just in time") << 0.499 << true;
    QTest::newRow("CR just late") << 0.501 << false;
    QTest::newRow("no CR at all") << -1.0 << false;
}

void SerialExchangeTest::replyTimeOutIsExact() {
    QFETCH(double, crAt);
    QFETCH(bool, answered);
    Bench b;
    b.serial().RxBuffer = "previous\r";
    b.serial().CommandText = QStringLiteral("SA");
    b.fromDrive(0.1, "SA");  // the start of a reply
    if (crAt > 0) {
        b.fromDrive(crAt, "\r");
    }
    const double start = b.tp.time.now();

    QCOMPARE(b.exchange().SendCommand(true), answered);

    if (answered) {
        QCOMPARE(b.serial().RxBuffer, QByteArray("SA\r"));
        QCOMPARE(b.log(), QString());
    } else {
        QVERIFY(b.serial().RxBuffer.isEmpty());
        QCOMPARE(b.log(), QStringLiteral("Comm Port Timeout sending command\r\n"));
        QVERIFY(b.tp.time.now() - start > 0.5);
        QVERIFY(b.tp.time.now() - start < 0.501);
    }
    // The wait slept on the port between the drive's bytes instead of spinning.
    QVERIFY(b.tp.serial.blockingWaits > 0);
    QVERIFY(b.tp.serial.blockingWaits < 20);
    QVERIFY(!b.serial().CommandBusy);
}

void SerialExchangeTest::portNotOpen() {
    Bench b;
    b.tp.serial.close();
    b.serial().RxBuffer = "previous\r";
    b.serial().CommandText = QStringLiteral("SA");

    QVERIFY(b.exchange().SendCommand(true));

    QCOMPARE(b.tp.messages.texts(), QStringList{QStringLiteral("Comm Port Not Open")});
    QCOMPARE(b.tp.messages.shown[0].icon, MessageIcon::None);
    QCOMPARE(b.serial().RxBuffer, QByteArray("previous\r"));
    QVERIFY(!b.serial().CommandBusy);
    b.form->waits().WaitMs(10);
    QVERIFY(b.tp.serial.transmitted().isEmpty());
}

void SerialExchangeTest::busyCommandKeepsTheReceiverOffThePort() {
    Bench b;
    b.tp.serial.receiveFromDrive("AB");
    b.serial().CommandBusy = true;
    b.exchange().ReceiveCommBytes();
    QCOMPARE(b.tp.serial.bytesWaiting(), 2);
    b.serial().CommandBusy = false;
    b.exchange().ReceiveCommBytes();
    QCOMPARE(b.tp.serial.bytesWaiting(), 0);
    QCOMPARE(b.log(), QStringLiteral("AB"));
}

// ---- The drive's packets ----

void SerialExchangeTest::powerUpWithAKnownModel_data() {
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("revision");
    QTest::newRow("no suffix yet") << QString() << "1.05";
    QTest::newRow("suffix from an earlier revision packet") << "A"
                                                            << "1.05A";
}

void SerialExchangeTest::powerUpWithAKnownModel() {
    QFETCH(QString, suffix);
    QFETCH(QString, revision);
    Bench b;
    b.serial().RevSuffix = suffix;
    b.serial().BootLoaderVersion = 5;
    b.form->appendStatus(QStringLiteral("earlier text"));
    b.tp.serial.receiveFromDrive(kPowerUp55);

    b.form->Delay(200);

    QCOMPARE(b.form->caption(Label::DriveRev), revision);
    QCOMPARE(b.form->caption(Label::DriveModel), QStringLiteral("KX-M1"));
    QCOMPARE(b.form->caption(Label::DriveDesc), kNema17);
    QCOMPARE(b.form->driveState().DriveModelCode, 55);
    QCOMPARE(b.serial().DriveRevNumber, 5);
    QCOMPARE(b.serial().BootLoaderVersion, 0);
    QVERIFY(b.serial().QTSent);
    QVERIFY(b.form->isEnabled(Button::StartDownload));
    QCOMPARE(b.log(), QString());
    QCOMPARE(b.tp.serial.transmitted(), QByteArray("QT\r"));
    QVERIFY(b.serial().RxBuffer.isEmpty());
    QVERIFY(!b.serial().InOnComm);
    QVERIFY(b.tp.messages.shown.empty());
}

void SerialExchangeTest::powerUpAfterATransferIsOnlyAcknowledged() {
    Bench b;
    b.form->downloadState().DownloadDone = true;
    b.serial().QTSent = true;
    b.form->appendStatus(QStringLiteral("transfer log"));
    b.tp.serial.receiveFromDrive(kPowerUp55);

    b.form->Delay(200);

    QCOMPARE(b.tp.serial.transmitted(), QByteArray("00\r"));
    QVERIFY(!b.serial().QTSent);
    QVERIFY(!b.form->isEnabled(Button::StartDownload));
    QCOMPARE(b.log(), QStringLiteral("transfer log"));
    QCOMPARE(b.form->caption(Label::DriveRev), QStringLiteral("1.05"));
    QCOMPARE(b.form->caption(Label::DriveModel), QStringLiteral("KX-M1"));
}

void SerialExchangeTest::powerUpWithoutAKnownModelIsActedOnOnce_data() {
    QTest::addColumn<int>("model");
    QTest::newRow("model code 0") << 0;
    QTest::newRow("model code not in the table") << 41;
}

void SerialExchangeTest::powerUpWithoutAKnownModelIsActedOnOnce() {
    QFETCH(int, model);
    Bench b;
    b.form->driveState().DriveModelCode = 55;
    b.form->setEnabled(Button::StartDownload, true);
    b.form->appendStatus(QStringLiteral("kept"));
    b.tp.serial.receiveFromDrive(bytes({0xFF, 0x02, model}));

    b.form->Delay(200);

    QVERIFY(!b.form->isEnabled(Button::StartDownload));
    QCOMPARE(b.form->caption(Label::DriveRev), QStringLiteral("1.02"));
    QCOMPARE(b.form->caption(Label::DriveModel), QStringLiteral("Unknown"));
    QCOMPARE(b.form->caption(Label::DriveDesc), QString());
    QCOMPARE(b.form->driveState().DriveModelCode, 0);
    QCOMPARE(b.log(), QStringLiteral("kept"));
    QVERIFY(!b.serial().QTSent);

    // Later polls find the packet already handled.
    b.form->setEnabled(Button::StartDownload, true);
    b.form->Delay(500);
    QVERIFY(b.form->isEnabled(Button::StartDownload));
    QVERIFY(b.tp.serial.transmitted().isEmpty());
}

void SerialExchangeTest::bootLoaderPacket_data() {
    QTest::addColumn<int>("fileRev");
    QTest::addColumn<int>("fileModel");
    QTest::addColumn<int>("byte1");
    QTest::addColumn<int>("byte2");
    QTest::addColumn<bool>("bootEntered");
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("code");
    // The boot loader sends 0xFF for a revision it does not know; the loaded
    // file's revision and model stand in.
    QTest::newRow("file 1.05 for 55 loaded") << 105 << 55 << 0xFF << 0x99 << false << "1.05"
                                             << "KX-M1" << 55;
    QTest::newRow("no file loaded") << 0 << 0 << 0xFF << 0x99 << false << "1.00"
                                    << "Unknown" << 0;
    QTest::newRow("file 3.55 for 51") << 355 << 51 << 0xFF << 0 << false << "3.55"
                                      << "KX-M4" << 51;
    QTest::newRow("file revision too large for a byte") << 356 << 55 << 0xFF << 0 << false << "1.00"
                                                        << "Unknown" << 0;
    QTest::newRow("file model too large for a byte")
        << 105 << 256 + 55 << 0xFF << 0 << false << "1.00"
        << "Unknown" << 0;
    QTest::newRow("drive reports its own revision") << 105 << 55 << 0x07 << 49 << false << "1.07"
                                                    << "KX-M3" << 49;
    QTest::newRow("during the download's boot-loader entry")
        << 105 << 55 << 0xFF << 0 << true << "1.05"
        << "KX-M1" << 55;
}

void SerialExchangeTest::bootLoaderPacket() {
    QFETCH(int, fileRev);
    QFETCH(int, fileModel);
    QFETCH(int, byte1);
    QFETCH(int, byte2);
    QFETCH(bool, bootEntered);
    QFETCH(QString, revision);
    QFETCH(QString, model);
    QFETCH(int, code);
    Bench b;
    b.form->firmwareState().FileRevNumber = fileRev;
    b.form->firmwareState().FileModelCode = fileModel;
    b.form->downloadState().BootEntered = bootEntered;
    b.form->setEnabled(Button::StartDownload, bootEntered);
    b.serial().QTSent = true;
    b.form->appendStatus(QStringLiteral("Download Firmware command Sent\r\n"));
    b.tp.serial.receiveFromDrive(bytes({0xF0, byte1, byte2, 0x15}));

    b.form->Delay(200);

    QCOMPARE(b.serial().BootLoaderVersion, 0x15);
    QCOMPARE(b.form->caption(Label::DriveRev), revision);
    QCOMPARE(b.form->caption(Label::DriveModel), model);
    QCOMPARE(b.form->driveState().DriveModelCode, code);
    QCOMPARE(b.form->isEnabled(Button::StartDownload), !bootEntered);
    QCOMPARE(b.log(), QString());
    QVERIFY(b.serial().RxBuffer.isEmpty());
    QVERIFY(!b.serial().QTSent);
    QVERIFY(b.tp.serial.transmitted().isEmpty());
    QCOMPARE(b.form->firmwareState().FileRevNumber, fileRev);
}

void SerialExchangeTest::revisionPacketSetsTheSuffix() {
    Bench b;
    b.form->appendStatus(QStringLiteral("kept"));
    b.tp.serial.receiveFromDrive(bytes({0xF1, 0x07, 'B'}));
    b.form->Delay(200);
    QCOMPARE(b.form->caption(Label::DriveRev), QStringLiteral("1.07B"));
    QCOMPARE(b.serial().DriveRevNumber, 7);
    QCOMPARE(b.serial().RevSuffix, QStringLiteral("B"));
    QCOMPARE(b.log(), QStringLiteral("kept"));
    QVERIFY(b.tp.serial.transmitted().isEmpty());

    // A later power-up shows its own revision with the drive's suffix.
    b.tp.serial.receiveFromDrive(kPowerUp55);
    b.form->Delay(200);
    QCOMPARE(b.form->caption(Label::DriveRev), QStringLiteral("1.05B"));
}

void SerialExchangeTest::otherFamilyPacketWarnsOncePerPacket() {
    Bench b;
    b.form->setEnabled(Button::StartDownload, true);
    b.tp.serial.receiveFromDrive(bytes({0xEF, 0x00, 0x00}));
    b.form->Delay(1000);
    QCOMPARE(b.tp.messages.texts(), QStringList{kOtherFamily});
    QCOMPARE(b.tp.messages.shown[0].icon, MessageIcon::None);
    QVERIFY(b.form->isEnabled(Button::StartDownload));
    QVERIFY(b.tp.serial.transmitted().isEmpty());

    b.fromDrive(0.1, bytes({0xEF, 0x01, 0x02}));
    b.form->Delay(1000);
    QCOMPARE(b.tp.messages.texts(), (QStringList{kOtherFamily, kOtherFamily}));
}

// Bytes as they come off the line, in pieces at given times; what the
// window shows afterwards.
void SerialExchangeTest::collection_data() {
    QTest::addColumn<QList<double>>("times");
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("log");
    QTest::addColumn<QByteArray>("sent");
    const QString before = QStringLiteral("before");
    const QString none = QStringLiteral("None");
    const QString m1 = QStringLiteral("KX-M1");

    QTest::newRow("power-up in one read") << QList<double>{0} << QByteArrayList{kPowerUp55}
                                          << "1.05" << m1 << "" << QByteArray("QT\r");
    QTest::newRow("power-up byte by byte within half a second")
        << QList<double>{0, 0.2, 0.45} << QByteArrayList{"\xFF", "\x05", "\x37"} << "1.05" << m1
        << "" << QByteArray("QT\r");
    QTest::newRow("CR inside a packet is data")
        << QList<double>{0, 0.1} << QByteArrayList{"\xFF\r", "\x37"} << "1.13" << m1 << ""
        << QByteArray("QT\r");
    QTest::newRow("LF inside a packet is dropped, the next byte completes it")
        << QList<double>{0, 0.3} << QByteArrayList{"\xFF\n\x37", "\x14"} << "1.55"
        << "KX-D1"
        << "" << QByteArray("QT\r");
    QTest::newRow("LF inside a packet, nothing more")
        << QList<double>{0} << QByteArrayList{"\xFF\n\x37"} << "0.00" << none << before + kBadPacket
        << QByteArray();
    QTest::newRow("0xFF inside a packet is data")
        << QList<double>{0, 0.1} << QByteArrayList{"\xF1\xFF", "A"} << "3.55A" << none << before
        << QByteArray();
    QTest::newRow("a new marker inside a packet starts over")
        << QList<double>{0, 0.3} << QByteArrayList{"\xFF", bytes({0xF0, 7, 55, 2})} << "1.07" << m1
        << "" << QByteArray();
    QTest::newRow("a marker as the last byte completes the packet")
        << QList<double>{0} << QByteArrayList{bytes({0xFF, 0x05, 0xF0})} << "1.05"
        << "Unknown" << before << QByteArray();
    QTest::newRow("last byte too late")
        << QList<double>{0, 0.6} << QByteArrayList{"\xFF\x05", "\x37"} << "0.00" << none
        << before + kBadPacket + "7" << QByteArray();
    QTest::newRow("text before and after a packet")
        << QList<double>{0} << QByteArrayList{"OK\r\n" + bytes({0xF1, 5, 'C'}) + "\r\n"} << "1.05C"
        << none << before + "OK\r\n\r\n"
        << QByteArray();
    QTest::newRow("text over several reads")
        << QList<double>{0, 0.01, 0.3} << QByteArrayList{"O", "K\r", "\n"} << "0.00" << none
        << before + "OK\r\n"
        << QByteArray();
    QTest::newRow("0xF2 to 0xFE leave no trace")
        << QList<double>{0} << QByteArrayList{"A" + bytes({0xF2, 0xF8, 0xFE}) + "B"} << "0.00"
        << none << before + "AB" << QByteArray();
    // Answering the power-up discards what was waiting, as before any command.
    QTest::newRow("text right behind a power-up packet")
        << QList<double>{0} << QByteArrayList{kPowerUp55 + "ready\r\n"} << "1.05" << m1 << ""
        << QByteArray("QT\r");
}

void SerialExchangeTest::collection() {
    QFETCH(QList<double>, times);
    QFETCH(QByteArrayList, pieces);
    QFETCH(QString, revision);
    QFETCH(QString, model);
    QFETCH(QString, log);
    QFETCH(QByteArray, sent);
    Bench b;
    b.form->appendStatus(QStringLiteral("before"));
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        b.fromDrive(0.01 + times[i], pieces[i]);
    }

    b.form->Delay(1500);

    QCOMPARE(b.form->caption(Label::DriveRev), revision);
    QCOMPARE(b.form->caption(Label::DriveModel), model);
    QCOMPARE(b.log(), log);
    QCOMPARE(b.tp.serial.transmitted(), sent);
    QCOMPARE(b.tp.serial.bytesWaiting(), 0);
    QVERIFY(!b.serial().PacketInProgress);
    QVERIFY(b.tp.messages.shown.empty());
}

void SerialExchangeTest::incompletePacketTimesOutAfterHalfASecond() {
    Bench b;
    const double start = b.tp.time.now() + 0.01;
    b.fromDrive(0.01, "\xFF\x05");
    QString atHalf;
    QString justAfter;
    b.tp.time.at(start + 0.5, [&] { atHalf = b.log(); });
    b.tp.time.at(start + 0.501, [&] { justAfter = b.log(); });
    b.fromDrive(0.8, "OK");

    b.form->Delay(1000);

    QCOMPARE(atHalf, QString());
    QCOMPARE(justAfter, kBadPacket);
    QCOMPARE(b.log(), kBadPacket + "OK");
    QVERIFY(b.serial().RxBuffer.isEmpty());
    QVERIFY(b.tp.serial.transmitted().isEmpty());
    QCOMPARE(b.form->caption(Label::DriveRev), QStringLiteral("0.00"));
}

// ---- The receive handler and the rest of the window ----

void SerialExchangeTest::pollWithNothingWaitingLeavesTheLinkAlone() {
    Bench b;
    b.tp.serial.receiveFromDrive("OK");  // the last event is now "receive" for good
    b.form->Delay(50);
    b.form->selectEthernet();
    QVERIFY(b.form->isEthernetSelected());

    b.form->Delay(500);
    QVERIFY(b.form->isEthernetSelected());
    b.form->downloadState().Downloading = true;  // an Ethernet download's waits
    b.form->Delay(500);
    QVERIFY(b.form->isEthernetSelected());
    b.form->downloadState().Downloading = false;

    // Bytes that really arrive still show the drive is on the serial line.
    b.tp.serial.receiveFromDrive("X");
    b.form->Delay(50);
    QVERIFY(b.form->isSerialSelected());
}

void SerialExchangeTest::bytesArrivingWhileTheHandlerWaitsAreHandled() {
    Bench b;
    b.fromDrive(0.01, kPowerUp55);
    b.fromDrive(0.05, "OK\r\n");  // while the handler waits 100 ms after the packet
    // Only the port's own notices run the handler here, not Delay's polls.
    b.form->waits().WaitMs(500);
    QCOMPARE(b.tp.serial.transmitted(), QByteArray("QT\r"));
    QCOMPARE(b.log(), QStringLiteral("OK\r\n"));
    QCOMPARE(b.tp.serial.bytesWaiting(), 0);
    QVERIFY(!b.serial().InOnComm);
}

void SerialExchangeTest::bytesArrivingWhenATransferStartsAreLeftToIt() {
    Bench b;
    b.fromDrive(0.01, kPowerUp55);
    b.tp.time.after(0.05, [&] {
        b.tp.serial.receiveFromDrive("\x13");
        b.form->downloadState().Downloading = true;
    });
    b.form->waits().WaitMs(500);
    QCOMPARE(b.tp.serial.bytesWaiting(), 1);
    QCOMPARE(b.log(), QString());
}

void SerialExchangeTest::nothingIsHandledDuringATransfer() {
    Bench b;
    b.form->downloadState().Downloading = true;
    b.tp.serial.receiveFromDrive(kPowerUp55);
    b.form->Delay(300);
    QCOMPARE(b.tp.serial.bytesWaiting(), 3);
    QCOMPARE(b.form->caption(Label::DriveModel), QStringLiteral("None"));
    QVERIFY(b.tp.serial.transmitted().isEmpty());
}

QTEST_MAIN(SerialExchangeTest)
#include "test_serial_exchange.moc"
