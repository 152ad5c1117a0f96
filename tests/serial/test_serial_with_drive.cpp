// The window against the simulated drive, in process and on simulated time:
// the same protocol engine that kestrel-drive-sim runs, so these cases check
// that the updater and the drive agree, not only that the updater follows
// its own reading of the protocol.
#include <QtTest>

#include "Doubles.h"
#include "SimulatedDriveLink.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;
using drivesim::DriveOptions;

namespace {

struct DriveBench {
    explicit DriveBench(DriveOptions options = {}) : drive(tp, std::move(options)) {
        tp.serial.setOpenResult(1, CommError::None);
        form = std::make_unique<Mainform>(tp.platform);
        form->Form_Load();
    }
    QString caption(Label label) const { return form->caption(label); }
    bool driveHeard(const QString& command) const {
        return drive.transcriptText().contains(QStringLiteral("command \"%1\"").arg(command));
    }
    bool sendAndWait(const QString& command) {
        form->serialState().CommandText = command;
        return form->serialExchange().SendCommand(true);
    }

    TestPlatform tp;
    SimulatedDriveLink drive;
    std::unique_ptr<Mainform> form;
};

}  // namespace

class SerialWithDriveTest : public QObject {
    Q_OBJECT
  private slots:
    void powerUpIsShownAndAnswered();
    void packetsWithAnLfInsideStillArrive();
    void otherFamilyDriveWarnsOnce();
    void driveWithoutModelGetsNoAnswer();
    void bootLoaderAnnouncesItself_data();
    void bootLoaderAnnouncesItself();
    void repliesToCommands();
};

void SerialWithDriveTest::powerUpIsShownAndAnswered() {
    DriveBench b;
    b.form->appendStatus(QStringLiteral("old"));
    b.drive.powerUp();
    b.form->Delay(300);
    QCOMPARE(b.caption(Label::DriveRev), QStringLiteral("1.05"));
    QCOMPARE(b.caption(Label::DriveModel), QStringLiteral("KX-M1"));
    QVERIFY(b.form->isEnabled(Button::StartDownload));
    QCOMPARE(b.form->statusText(), QString());
    QVERIFY2(b.driveHeard("QT"), qPrintable(b.drive.transcriptText()));
}

void SerialWithDriveTest::packetsWithAnLfInsideStillArrive() {
    DriveOptions options;
    options.packetInsert = "\n";
    options.modelCode = 20;
    DriveBench b(options);
    b.drive.powerUp();
    b.form->Delay(300);
    QCOMPARE(b.caption(Label::DriveModel), QStringLiteral("KX-D1"));
    QCOMPARE(b.caption(Label::DriveRev), QStringLiteral("1.05"));
    QVERIFY(b.driveHeard("QT"));
}

void SerialWithDriveTest::otherFamilyDriveWarnsOnce() {
    DriveOptions options;
    options.otherFamily = true;
    DriveBench b(options);
    b.drive.powerUp();
    b.form->Delay(2000);
    QCOMPARE(b.tp.messages.texts(),
             QStringList{QStringLiteral("You must use Ortus Firmware downloader for this drive")});
    QVERIFY(!b.form->isEnabled(Button::StartDownload));
    QVERIFY(!b.drive.transcriptText().contains(QLatin1String("command")));
}

void SerialWithDriveTest::driveWithoutModelGetsNoAnswer() {
    DriveOptions options;
    options.modelCode = 0;
    DriveBench b(options);
    b.drive.powerUp();
    b.form->Delay(500);
    QCOMPARE(b.caption(Label::DriveModel), QStringLiteral("Unknown"));
    QVERIFY(!b.form->isEnabled(Button::StartDownload));
    QVERIFY(!b.drive.transcriptText().contains(QLatin1String("command")));
}

void SerialWithDriveTest::bootLoaderAnnouncesItself_data() {
    QTest::addColumn<bool>("blank");
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("model");
    QTest::newRow("drive with firmware") << false << "1.05"
                                         << "KX-M1";
    // A blank drive does not know its revision: the loaded file's stands in.
    QTest::newRow("blank drive, file 2.10 for 51 loaded") << true << "2.10"
                                                          << "KX-M4";
}

void SerialWithDriveTest::bootLoaderAnnouncesItself() {
    QFETCH(bool, blank);
    QFETCH(QString, revision);
    QFETCH(QString, model);
    DriveOptions options;
    options.blank = blank;
    DriveBench b(options);
    b.form->firmwareState().FileRevNumber = 210;
    b.form->firmwareState().FileModelCode = 51;
    if (blank) {
        b.drive.powerUp();  // a blank drive starts in its boot loader
    } else {
        b.form->serialState().CommandText = QStringLiteral("B5827");
        QVERIFY(b.form->serialExchange().SendCommand(false));
    }
    b.form->Delay(500);
    QCOMPARE(b.form->serialState().BootLoaderVersion, 5);
    QCOMPARE(b.caption(Label::DriveRev), revision);
    QCOMPARE(b.caption(Label::DriveModel), model);
    QVERIFY(b.form->isEnabled(Button::StartDownload));
}

void SerialWithDriveTest::repliesToCommands() {
    DriveBench b;
    QVERIFY(b.sendAndWait(QStringLiteral("SV")));
    QCOMPARE(b.form->serialState().RxBuffer, QByteArray("105D\r"));
    QVERIFY(b.sendAndWait(QStringLiteral("XY")));  // not a command: "X?" comes back
    QVERIFY(b.form->serialState().RxBuffer.isEmpty());
    QVERIFY(b.driveHeard("XY"));
    QVERIFY(b.sendAndWait(QStringLiteral("SA")));
    QCOMPARE(b.form->serialState().RxBuffer, QByteArray("OK\r"));
}

QTEST_MAIN(SerialWithDriveTest)
#include "test_serial_with_drive.moc"
