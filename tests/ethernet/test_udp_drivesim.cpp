// The Ethernet link against kestrel-drive-sim in its own process: the window's
// real socket on 127.0.0.1:7777 asks the simulated drive who it is.
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QtTest>

#include "Doubles.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtUdpSocket.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

class UdpDriveSimTest : public QObject {
    Q_OBJECT
  private slots:
    void identifyAndPing();
};

void UdpDriveSimTest::identifyAndPing() {
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(QStringLiteral(KESTREL_DRIVE_SIM),
              {"--no-power-up", "--model", "20", "--revision", "5", "--suffix", "B",
               "--build-number", "2147483690", "--mac", "00-11-0A-FF-2B-03"});
    auto stop = qScopeGuard([&] {
        sim.write("quit\n");
        if (!sim.waitForFinished(5000)) {
            sim.kill();
            sim.waitForFinished();
        }
    });
    QVERIFY2(sim.waitForStarted(), qPrintable(sim.errorString()));
    // Line 1: the pseudo-terminal; line 2: the UDP endpoint, once it listens.
    QByteArray banner;
    while (banner.count('\n') < 2 && sim.waitForReadyRead(5000)) {
        banner += sim.readAllStandardOutput();
    }
    QVERIFY2(banner.contains("udp 127.0.0.1:7775"), banner.constData());

    QtClock clock;
    QtEventPump pump{clock};
    QtUdpSocket udp;
    SimTime unusedSerialTime;
    FakeSerialPort serial{unusedSerialTime};
    RecordingMessageBoxes messages;
    ScriptedFileDialog fileDialog;
    MemorySettingsStore settings;
    RecordingProgramControl program;
    Platform platform{clock, pump, serial, udp, messages, fileDialog, settings, program};
    serial.setOpenResult(1, 0);
    settings.write(AppInfo::settingsApplication(), QStringLiteral("Startup"),
                   QStringLiteral("IPaddress"), QStringLiteral("127.0.0.1"));
    Mainform form(platform);
    form.Form_Load();
    QVERIFY2(messages.shown.empty(), "the window could not bind UDP 7777");
    form.selectEthernet();

    form.udpChannel().UDP_DCLcommand("C", 2);
    QCOMPARE(form.udpState().UDPReplyData, QByteArray::fromHex("0514"));
    form.udpChannel().UDP_DCLcommand("\x8Ey", 4);
    QCOMPARE(form.udpState().UDPReplyData, QByteArray("0042"));

    form.findChild<QPushButton*>(QStringLiteral("Ping"))->click();
    QCOMPARE(messages.texts(),
             QStringList{QStringLiteral(
                 "Drive responded.  ARM build number is 2147483690. MAC ID = 0-11-A-FF-2B-3")});
}

QTEST_MAIN(UdpDriveSimTest)
#include "test_udp_drivesim.moc"
