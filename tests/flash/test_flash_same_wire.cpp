// The window and kestrel-flash --identify, each against its own simulated
// drive powering up: the drives must hear exactly the same from both.
#include <QtTest>

#include "Doubles.h"
#include "FlashProcess.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

class FlashSameWireTest : public QObject {
    Q_OBJECT
  private slots:
    void identifyPutsTheWindowsBytesOnTheWire();
};

void FlashSameWireTest::identifyPutsTheWindowsBytesOnTheWire() {
    const QStringList drive{"--model", "49", "--revision", "7", "--port", "0"};
    // The window offscreen on the real serial port; doubles only for what
    // would touch the machine's settings and UDP port 7777.
    SimDrive windowSim;
    QVERIFY(windowSim.start(drive));
    QtClock clock;
    QtEventPump pump(clock);
    MemorySettingsStore settings;
    settings.write(AppInfo::settingsApplication(), "Ports", "COM1", windowSim.ptyPath);
    QtSerialPort serial(settings);
    SimTime unusedTime;
    FakeUdpSocket udp(unusedTime);
    ScriptedFileDialog fileDialog;
    Platform platform{clock, pump, serial, udp, fileDialog, settings};
    Mainform form(platform);
    form.Form_Load();
    windowSim.powerUp();
    QTRY_COMPARE_WITH_TIMEOUT(form.session().report().drive().model, "KX-M3", 10000);
    form.Quit_Click();
    const QStringList window = windowSim.hostLines();
    QVERIFY2(window.contains("serial host>  command \"QT\""), qPrintable(window.join('\n')));

    SimDrive flashSim;
    QVERIFY(flashSim.start(drive));
    FlashProcess flash;
    flash.start({"--port", flashSim.ptyPath, "--identify"});
    QVERIFY2(flash.waitForOutput("to power up"), qPrintable(flash.report()));
    flashSim.powerUp();
    QCOMPARE(flash.finish(), 0);
    QCOMPARE(flashSim.hostLines(), window);
}

QTEST_MAIN(FlashSameWireTest)
#include "test_flash_same_wire.moc"
