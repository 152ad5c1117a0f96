// The Ethernet link on the real stack: the window's engines over the real
// socket on loopback UDP 7777, against kestrel-drive-sim in its own process
// and against plain sockets standing in for the drive and another host.
#include <QNetworkDatagram>
#include <QProcess>
#include <QScopeGuard>
#include <QUdpSocket>
#include <QtTest>

#include "Doubles.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtUdpSocket.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// The session with the real clock, event pump and socket, addressed to
// 127.0.0.1; the rest are doubles, the serial side unused.
struct LoopbackWindow {
    LoopbackWindow() {
        serial.setOpenResult(1, 0);
        settings.write(AppInfo::settingsApplication(), QStringLiteral("Startup"),
                       QStringLiteral("IPaddress"), QStringLiteral("127.0.0.1"));
        session.Form_Load();
        session.chooseLink(Link::Ethernet);
    }
    QtClock clock;
    QtEventPump pump{clock};
    QtUdpSocket udp;
    SimTime unusedSerialTime;
    FakeSerialPort serial{unusedSerialTime};
    ScriptedFileDialog fileDialog;
    MemorySettingsStore settings;
    Platform platform{clock, pump, serial, udp, fileDialog, settings};
    RecordingObserver seen;
    Session session{platform, seen};
};

}  // namespace

class UdpLoopbackTest : public QObject {
    Q_OBJECT
  private slots:
    void againstTheSimulatedDrive();
    void replyFromAnotherHostIsTaken();
};

void UdpLoopbackTest::againstTheSimulatedDrive() {
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
    LoopbackWindow w;
    QVERIFY2(w.seen.shown.empty(), "the session could not bind UDP 7777");

    QVERIFY(w.session.udpChannel().UDP_DCLcommand("C", 2));
    QCOMPARE(w.session.udpState().UDPReplyData, QByteArray::fromHex("0514"));
    QVERIFY(w.session.udpChannel().UDP_DCLcommand("\x8Ey", 4));
    QCOMPARE(w.session.udpState().UDPReplyData, QByteArray("0042"));

    // The drive answers two bytes where three are asked for: the full wait.
    const double start = w.clock.now();
    QVERIFY(w.session.udpChannel().UDP_DCLcommand("C", 3));
    QVERIFY(w.clock.now() - start >= UdpChannel::ReplyWait);
    QCOMPARE(w.session.udpState().UDPReplyData, QByteArray::fromHex("0514"));

    w.session.Ping_Click();
    QCOMPARE(w.seen.texts(),
             QStringList{QStringLiteral("Drive responded.  ARM build number is 2147483690. "
                                        "MAC ID = 0-11-A-FF-2B-3")});
}

void UdpLoopbackTest::replyFromAnotherHostIsTaken() {
    // The drive at 127.0.0.1 takes the command; 127.0.0.2 answers it.
    QUdpSocket drive;
    QUdpSocket other;
    QVERIFY2(drive.bind(QHostAddress::LocalHost, 7775), "UDP 127.0.0.1:7775 is taken");
    if (!other.bind(QHostAddress(QStringLiteral("127.0.0.2")))) {
        QSKIP("Cannot bind 127.0.0.2; this test needs the whole 127.0.0.0/8 on loopback.");
    }
    QNetworkDatagram command;
    QObject::connect(&drive, &QUdpSocket::readyRead, [&] {
        command = drive.receiveDatagram();
        other.writeDatagram(QByteArray::fromHex("00080329"), QHostAddress::LocalHost, 7777);
    });
    LoopbackWindow w;
    QVERIFY2(w.seen.shown.empty(), "the session could not bind UDP 7777");

    QVERIFY(w.session.udpChannel().UDP_DCLcommand("C", 2));

    QCOMPARE(command.data(), QByteArray::fromHex("00084302"));
    QCOMPARE(command.senderPort(), 7777);
    QCOMPARE(w.session.udpState().UDPReplyData, QByteArray::fromHex("0329"));
    QCOMPARE(w.udp.remoteHost(), QStringLiteral("127.0.0.2"));
}

QTEST_MAIN(UdpLoopbackTest)
#include "test_udp_loopback.moc"
