// The window on the real serial stack: QtSerialPort on the pseudo-terminal
// that kestrel-drive-sim creates. The drive powers up and the window shows it.
#include <QProcess>
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

void SerialDriveSimTest::windowShowsTheDriveThatPoweredUp() {
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
    RecordingMessageBoxes messages;
    ScriptedFileDialog fileDialog;
    RecordingProgramControl program;
    Platform platform{clock, pump, serial, udp, messages, fileDialog, settings, program};
    Mainform form(platform);
    form.Form_Load();
    QVERIFY2(serial.isOpen(), qPrintable(messages.texts().join(QLatin1Char('|'))));
    QVERIFY(!form.isEnabled(Button::StartDownload));

    sim.write("power-up\n");
    QTRY_COMPARE_WITH_TIMEOUT(form.caption(Label::DriveModel), QStringLiteral("KX-M3"), 5000);
    QCOMPARE(form.caption(Label::DriveRev), QStringLiteral("1.07"));
    QCOMPARE(form.caption(Label::DriveDesc),
             QStringLiteral("NEMA 23 Integrated Step Motor & Drive"));
    QCOMPARE(form.driveState().DriveModelCode, 49);
    QVERIFY(form.isEnabled(Button::StartDownload));
    QVERIFY(form.serialState().QTSent);
    QVERIFY(messages.shown.empty());

    // The drive heard the answer to its power-up.
    QByteArray transcript;
    QTRY_VERIFY_WITH_TIMEOUT((transcript += sim.readAllStandardError()).contains("command \"QT\""),
                             5000);
    form.Form_Unload();
}

QTEST_MAIN(SerialDriveSimTest)
#include "test_serial_drive_sim.moc"
