// The window on the real serial stack: QtSerialPort on the pseudo-terminal
// that kestrel-drive-sim creates. The drive powers up and the window shows
// it, also when the Ethernet link was selected: the switch to serial keeps
// the bytes that caused it.
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
    void windowShowsTheDriveThatPoweredUp_data() {
        QTest::addColumn<bool>("ethernetSelected");
        QTest::newRow("serial selected") << false;
        QTest::newRow("Ethernet selected") << true;
    }

    void windowShowsTheDriveThatPoweredUp() {
        QFETCH(bool, ethernetSelected);
        // A KX-M3 at revision 1.07 on any free UDP port: this test does not
        // touch the Ethernet link.
        SimDrive sim;
        QVERIFY(sim.start({"--model", "49", "--revision", "7", "--port", "0"}));
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
        QVERIFY(serial.isOpen());
        auto label = [&form](const char* name) { return form.findChild<QLabel*>(name)->text(); };
        auto* start = form.findChild<QPushButton*>(QStringLiteral("StartDownload"));
        QVERIFY(!start->isEnabled());
        if (ethernetSelected) {
            form.session().chooseLink(Link::Ethernet);
        }

        sim.powerUp();
        QTRY_COMPARE_WITH_TIMEOUT(label("DriveModel"), QStringLiteral("KX-M3"), 5000);
        QCOMPARE(label("DriveRev"), QStringLiteral("1.07"));
        QCOMPARE(label("DriveDesc"), QStringLiteral("NEMA 23 Integrated Step Motor & Drive"));
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
