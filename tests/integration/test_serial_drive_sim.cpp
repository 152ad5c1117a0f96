// The window on the real serial stack: QtSerialPort on the pseudo-terminal
// that kestrel-drive-sim creates. The drive powers up and the window shows
// it although the Ethernet link was selected: the switch to serial keeps the
// bytes that caused it.
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

#include "Doubles.h"
#include "Processes.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

class SerialDriveSimTest : public QObject {
    Q_OBJECT
  private slots:
    void windowShowsTheDriveThatPoweredUpWhileOnEthernet() {
        // A KX-M3; its UDP side on any free port, never heard.
        SimDrive sim;
        QVERIFY(sim.start({"--model", "49", "--port", "0"}));
        // The real clock, event loop and serial port; doubles for what would
        // open windows or touch the machine's settings and UDP port 7777.
        TestPlatform tp;
        QtClock clock;
        QtEventPump pump(clock);
        tp.settings.write(AppInfo::settingsApplication(), "Ports", "COM1", sim.ptyPath);
        QtSerialPort serial(tp.settings);
        Platform platform{clock, pump, serial, tp.udp, tp.fileDialog, tp.settings};
        Mainform form(platform);
        form.Form_Load();
        auto* start = form.findChild<QPushButton*>(QStringLiteral("StartDownload"));
        QVERIFY(!start->isEnabled());
        form.session().chooseLink(Link::Ethernet);

        sim.powerUp();
        QTRY_COMPARE_WITH_TIMEOUT(form.findChild<QLabel*>("DriveModel")->text(),
                                  QStringLiteral("KX-M3"), 5000);
        QVERIFY(start->isEnabled());
        QVERIFY(form.findChild<QRadioButton*>(QStringLiteral("optSerial"))->isChecked());
        form.session().Form_Unload();
        sim.quit();
        QVERIFY2(sim.hostLines.contains("serial host>  command \"QT\""),
                 qPrintable(sim.hostLines.join('\n')));  // the drive heard the answer
    }
};

QTEST_MAIN(SerialDriveSimTest)
#include "test_serial_drive_sim.moc"
