// The window on the real serial stack: QtSerialPort on the pseudo-terminal
// that kestrel-drive-sim creates. The drive powers up and the window shows
// it, also when the Ethernet link was selected: the switch to serial keeps
// the bytes that caused it.
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "Doubles.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

class SerialDriveSimTest : public QObject {
    Q_OBJECT
  private slots:
    void windowShowsTheDriveThatPoweredUp_data();
    void windowShowsTheDriveThatPoweredUp();
};

namespace {

QString readLine(QProcess& process, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!process.canReadLine() && timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(timeoutMs - static_cast<int>(timer.elapsed()));
    }
    return QString::fromLocal8Bit(process.readLine()).trimmed();
}

}  // namespace

void SerialDriveSimTest::windowShowsTheDriveThatPoweredUp_data() {
    QTest::addColumn<bool>("ethernetSelected");
    QTest::newRow("serial selected") << false;
    QTest::newRow("Ethernet selected") << true;
}

void SerialDriveSimTest::windowShowsTheDriveThatPoweredUp() {
    QFETCH(bool, ethernetSelected);
    // A KX-M3 at revision 1.07 that stays silent until told to power up, so
    // its packet cannot arrive before the window has opened the port. Any
    // free UDP port: this test does not touch the Ethernet link.
    QProcess sim;
    sim.start(QStringLiteral(KESTREL_DRIVE_SIM_PATH),
              {"--model", "49", "--revision", "7", "--no-power-up", "--port", "0", "--transcript"});
    QVERIFY2(sim.waitForStarted(), qPrintable(sim.errorString()));
    auto stopSim = qScopeGuard([&sim] {
        sim.write("quit\n");
        if (!sim.waitForFinished(3000)) {
            sim.kill();
            sim.waitForFinished(3000);
        }
    });
    const QString ptyPath = readLine(sim, 5000);
    QVERIFY2(ptyPath.startsWith(QLatin1String("/dev/")),
             qPrintable("no pty path from the simulator: " + ptyPath + " / " +
                        QString::fromLocal8Bit(sim.readAllStandardError())));

    // The real clock, event loop and serial port; doubles for what would
    // open windows or touch the machine's settings and UDP port 7777.
    SimTime unusedTime;
    QtClock clock;
    QtEventPump pump(clock);
    MemorySettingsStore settings;
    settings.write(AppInfo::settingsApplication(), QStringLiteral("Ports"), QStringLiteral("COM1"),
                   ptyPath);
    QtSerialPort serial(settings);
    FakeUdpSocket udp(unusedTime);
    ScriptedFileDialog fileDialog;
    Platform platform{clock, pump, serial, udp, fileDialog, settings};
    Mainform form(platform);
    form.Form_Load();
    QVERIFY(serial.isOpen());
    auto label = [&form](const char* name) {
        return form.findChild<QLabel*>(QLatin1String(name))->text();
    };
    auto* start = form.findChild<QPushButton*>(QStringLiteral("StartDownload"));
    QVERIFY(!start->isEnabled());
    if (ethernetSelected) {
        form.session().chooseLink(Link::Ethernet);
    }

    sim.write("power-up\n");
    QTRY_COMPARE_WITH_TIMEOUT(label("DriveModel"), QStringLiteral("KX-M3"), 5000);
    QCOMPARE(label("DriveRev"), QStringLiteral("1.07"));
    QCOMPARE(label("DriveDesc"), QStringLiteral("NEMA 23 Integrated Step Motor & Drive"));
    QCOMPARE(form.session().driveState().DriveModelCode, 49);
    QVERIFY(start->isEnabled());
    QVERIFY(form.findChild<QRadioButton*>(QStringLiteral("optSerial"))->isChecked());
    QVERIFY(form.session().serialState().QTSent);

    // The drive heard the answer to its power-up.
    QByteArray transcript;
    QTRY_VERIFY_WITH_TIMEOUT((transcript += sim.readAllStandardError()).contains("command \"QT\""),
                             5000);
    form.session().Form_Unload();
}

QTEST_MAIN(SerialDriveSimTest)
#include "test_serial_drive_sim.moc"
