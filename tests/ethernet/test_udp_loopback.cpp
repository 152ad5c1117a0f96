// The Ethernet link on the real stack: the window's engines over the real
// socket on loopback, with a drive played by a UDP socket on 127.0.0.1:7775.
#include <QNetworkDatagram>
#include <QPushButton>
#include <QUdpSocket>
#include <QtTest>
#include <functional>

#include "Doubles.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtUdpSocket.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QByteArray kIdentity = QByteArray::fromHex("00084302");
const QByteArray kQuery = QByteArray::fromHex("006300");

// A drive's UDP side: records what arrives and answers through `respond`.
class LoopbackDrive {
  public:
    bool bind(const QString& address) {
        QObject::connect(&socket_, &QUdpSocket::readyRead, [this] { onReadyRead(); });
        return socket_.bind(QHostAddress(address), 7775);
    }
    void send(const QByteArray& datagram) {
        socket_.writeDatagram(datagram, QHostAddress::LocalHost, 7777);
    }
    std::function<void(const QByteArray&)> respond;
    QList<QNetworkDatagram> received;

  private:
    void onReadyRead() {
        while (socket_.hasPendingDatagrams()) {
            received << socket_.receiveDatagram();
            if (respond) {
                respond(received.back().data());
            }
        }
    }
    QUdpSocket socket_;
};

// The window with the real clock, event pump and socket; the rest are
// doubles, the serial side unused.
struct LoopbackWindow {
    LoopbackWindow() {
        serial.setOpenResult(1, 0);
        settings.write(AppInfo::settingsApplication(), QStringLiteral("Startup"),
                       QStringLiteral("IPaddress"), QStringLiteral("127.0.0.1"));
        form.Form_Load();
        form.selectEthernet();
    }
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
    Mainform form{platform};
};

}  // namespace

class UdpLoopbackTest : public QObject {
    Q_OBJECT
  private slots:
    void commandAndReply();
    void silentDriveCostsTheFullWait();
    void pingShowsBuildAndMac();
    void replyFromAnotherAddressIsTaken();
    void textDatagramsFillTheRing();
};

void UdpLoopbackTest::commandAndReply() {
    LoopbackDrive drive;
    QVERIFY2(drive.bind(QStringLiteral("127.0.0.1")), "UDP 127.0.0.1:7775 is taken");
    LoopbackWindow w;
    QVERIFY2(w.messages.shown.empty(), "the window could not bind UDP 7777");
    drive.respond = [&](const QByteArray& d) {
        if (d == kIdentity) {
            drive.send(QByteArray::fromHex("00080514"));
        }
    };

    QVERIFY(w.form.udpChannel().UDP_DCLcommand("C", 2));

    QCOMPARE(drive.received.size(), 1);
    QCOMPARE(drive.received.front().data(), kIdentity);
    QCOMPARE(drive.received.front().senderPort(), 7777);
    QCOMPARE(w.form.udpState().UDPReplyData, QByteArray::fromHex("0514"));
}

void UdpLoopbackTest::silentDriveCostsTheFullWait() {
    LoopbackDrive drive;
    QVERIFY2(drive.bind(QStringLiteral("127.0.0.1")), "UDP 127.0.0.1:7775 is taken");
    LoopbackWindow w;
    const double start = w.clock.now();

    w.form.udpChannel().UDP_DCLcommand("C", 2);

    QVERIFY(w.clock.now() - start >= UdpChannel::ReplyWait);
    QCOMPARE(w.form.udpState().UDPReplyData, QByteArray(1, '\0'));
    QTRY_COMPARE(drive.received.size(), 1);
}

void UdpLoopbackTest::pingShowsBuildAndMac() {
    LoopbackDrive drive;
    QVERIFY2(drive.bind(QStringLiteral("127.0.0.1")), "UDP 127.0.0.1:7775 is taken");
    LoopbackWindow w;
    drive.respond = [&](const QByteArray& d) {
        if (d == kQuery) {
            drive.send(
                QByteArray::fromHex("0063"
                                    "8000002A"
                                    "00110AFF2B03"));
        }
    };

    w.form.findChild<QPushButton*>(QStringLiteral("Ping"))->click();

    QCOMPARE(w.messages.texts(),
             QStringList{QStringLiteral(
                 "Drive responded.  ARM build number is 2147483690. MAC ID = 0-11-A-FF-2B-3")});
}

void UdpLoopbackTest::replyFromAnotherAddressIsTaken() {
    LoopbackDrive drive;
    LoopbackDrive other;
    QVERIFY2(drive.bind(QStringLiteral("127.0.0.1")), "UDP 127.0.0.1:7775 is taken");
    if (!other.bind(QStringLiteral("127.0.0.2"))) {
        QSKIP("Cannot bind 127.0.0.2:7775; this test needs the whole 127.0.0.0/8 on loopback.");
    }
    LoopbackWindow w;
    drive.respond = [&](const QByteArray&) { other.send(QByteArray::fromHex("00080329")); };

    w.form.udpChannel().UDP_DCLcommand("C", 2);

    QCOMPARE(w.form.udpState().UDPReplyData, QByteArray::fromHex("0329"));
    QCOMPARE(w.udp.remoteHost(), QStringLiteral("127.0.0.2"));
}

void UdpLoopbackTest::textDatagramsFillTheRing() {
    LoopbackDrive drive;
    QVERIFY2(drive.bind(QStringLiteral("127.0.0.1")), "UDP 127.0.0.1:7775 is taken");
    LoopbackWindow w;
    drive.send(QByteArray::fromHex("000F") + "..");
    drive.send(QByteArray::fromHex("0001"));  // not a drive type
    drive.send(QByteArray::fromHex("000F") + "E");
    drive.send(QByteArray::fromHex("0010FFFE"));

    QTRY_COMPARE(w.form.udpState().DriveRxCount, 65534);
    QCOMPARE(w.form.udpState().UdpRingWrite, 3);
    const auto& ring = w.form.udpState().UdpRing;
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(ring.data()), 3), QByteArray("..E"));
}

QTEST_MAIN(UdpLoopbackTest)
#include "test_udp_loopback.moc"
