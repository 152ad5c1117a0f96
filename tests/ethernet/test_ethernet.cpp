// The Ethernet link through the session on simulated time: the address rule, a
// command's datagram and wait, the text ring, Ping, and the drive's identity. What
// each datagram type leaves in the receive state is the datagram fuzz target's.
#include <QTest>

#include "Bytes.h"
#include "Doubles.h"
#include "SessionProbe.h"
#include "ethernet/Datagram.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QString kDriveIp = QStringLiteral("192.168.0.20");
const QString kOtherHost = QStringLiteral("10.0.0.99");
const QString kResponded = QStringLiteral("Drive responded.  ARM build number is ");
const QString kNoResponse = QStringLiteral("No response from drive");
const QByteArray kPlaceholderOnly(1, '\0');

// The session switched to the Ethernet link, with the drive's address typed into txtIP.
struct EthernetWindow {
    EthernetWindow() {
        tp.serial.setOpenResult(1, CommError::None);
        session.Form_Load();
        session.editAddress(kDriveIp);
        SessionProbe(session).driveAddress().selectEthernet();
    }
    // `datagram` reaches the host from `sender`, `delay` seconds from now.
    void arrive(const QByteArray& datagram, double delay, const QString& sender = kDriveIp) {
        tp.time.after(delay,
                      [this, datagram, sender] { tp.udp.receiveFromNetwork(datagram, sender); });
    }
    UdpState& state() { return SessionProbe(session).udpState(); }

    TestPlatform tp;
    RecordingObserver seen;
    Session session{tp.platform, seen};
};

}  // namespace

class EthernetTest : public QObject {
    Q_OBJECT
  private slots:
    // The groups' limit and the dots' edges; the fuzz target holds the rest.
    void validIp_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("all 255") << "255.255.255.255" << true;
        QTest::newRow("first group 256") << "256.1.1.1" << false;
        QTest::newRow("two groups") << "1.2" << true;
        // A fourth dot moves the third; its digits run on in group 4.
        QTest::newRow("five groups, 255") << "1.2.3.25.5" << true;
        QTest::newRow("ends with fourth dot") << "1.2.3.4." << false;
    }
    // Leaving txtIP with it: the caption shows it, or a message says why not.
    void validIp() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        EthernetWindow w;
        const QString titleBefore = w.seen.title;
        w.session.editAddress(text);
        w.session.txtIP_LostFocus();
        const QString refusal = "Invalid IP address.  Example of a valid address: 192.168.0.20";
        QCOMPARE(w.seen.texts(), valid ? QStringList() : QStringList{refusal});
        QCOMPARE(w.seen.title, valid ? text + " Kestrel PRO Firmware Updater 0.1.0" : titleBefore);
        QCOMPARE(w.seen.address, text);  // kept as typed either way
    }

    // The datagram a command sends, how long it waits for the drive's answer
    // and what UDPReplyData holds when it returns.
    void command_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("bytesBack");
        QTest::addColumn<QByteArray>("datagram");  // empty: none sent
        QTest::addColumn<double>("took");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("from");  // who answers
        const QByteArray answer = bytes({0x05, 0x14});
        const QByteArray ask = bytes({0, 8, 0x43, 2});
        QTest::newRow("whole answer ends the wait")
            << kDriveIp << QByteArray("C") << 2 << ask << 0.003 << answer << "" << kDriveIp;
        // The drive's address as typed, the sender's as the socket writes it.
        QTest::newRow("answer from the drive typed with leading zeros")
            << "192.168.000.020" << QByteArray("C") << 2 << ask << 0.003 << answer << ""
            << kDriveIp;
        QTest::newRow("answer from another host: ignored, named once")
            << kDriveIp << QByteArray("C") << 2 << ask << 0.1 << kPlaceholderOnly
            << "Ignored a datagram from 10.0.0.99: the drive is at 192.168.0.20\r\n"
            << kOtherHost;
        QTest::newRow("BytesBack 1 does not wait; zero byte inside")
            << kDriveIp << QByteArray("A\0B", 3) << 1 << bytes({0, 8, 0x41, 1, 0, 0x42}) << 0.001
            << kPlaceholderOnly << "" << kDriveIp;
        QTest::newRow("invalid address: silent, waits it out")
            << "1..2.3" << QByteArray("C") << 2 << QByteArray() << 0.1 << kPlaceholderOnly << ""
            << kDriveIp;
        // ".1.2.3" passes the address rule, but no socket can send to it.
        QTest::newRow("refused by the socket: returns at once")
            << ".1.2.3" << QByteArray("C") << 2 << QByteArray() << 0.0 << kPlaceholderOnly
            << "UDP send failed: Invalid remote host \".1.2.3\"\r\n"
            << kDriveIp;
    }
    void command() {
        QFETCH(QString, address);
        QFETCH(QByteArray, command);
        QFETCH(int, bytesBack);
        QFETCH(QByteArray, datagram);
        QFETCH(double, took);
        QFETCH(QString, from);
        EthernetWindow w;
        w.session.editAddress(address);
        w.tp.udp.setRemoteHost(kOtherHost);  // as start-up or an earlier sender may leave it
        if (!datagram.isEmpty()) {           // an answer to what was asked, twice
            w.arrive(bytes({0x00, 0x08, 0x05, 0x14}), 0.003, from);
            w.arrive(bytes({0x00, 0x08, 0x05, 0x14}), 0.004, from);
        }
        const double start = w.tp.time.now();
        const long long sleeps = w.tp.time.blockingWaits;

        QCOMPARE(SessionProbe(w.session).udpChannel().UDP_DCLcommand(
                     command, static_cast<quint8>(bytesBack)),
                 !datagram.isEmpty());

        const auto& sent = w.tp.udp.sent();
        QCOMPARE(sent.size(), datagram.isEmpty() ? 0u : 1u);
        QVERIFY(sent.empty() || (sent[0].data == datagram && sent[0].host == kDriveIp));
        QCOMPARE(w.tp.time.now(), start + took);
        QTEST(w.state().UDPReplyData, "stored");
        QTEST(w.seen.status, "status");
        // It sleeps in the event loop instead of spinning when there is anything to wait for.
        QCOMPARE(w.tp.time.blockingWaits > sleeps, took > 0.001);
        QVERIFY(w.seen.shown.empty());
    }

    // Text datagrams go round a ring of 201 bytes that the writer fills without
    // looking at the reader: exactly a ring's worth leaves it looking empty.
    void ring() {
        EthernetWindow w;
        SessionProbe(w.session).udpChannel().aimAtDrive();
        w.state().UdpRingRead = w.state().UdpRingWrite = 198;
        for (const QByteArray text : {"ab", "", "cde"}) {
            w.arrive(QByteArray("\0\x0F", 2) + text, 0);
        }
        w.tp.pump.processPending();
        const auto& ring = w.state().UdpRing;
        QCOMPARE(bytes({ring[198], ring[199], ring[200], ring[0], ring[1]}), "abcde");
        w.arrive(QByteArray("\0\x0F", 2) + QByteArray(201, 'z'), 0);
        w.tp.pump.processPending();
        QCOMPARE(w.state().UdpRingWrite, 2);
        QCOMPARE(w.state().UdpRingRead, 198);
    }

    // The build number takes four bytes, the MAC six more.
    void ping_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("message");
        QTest::newRow("build one byte short") << bytes({0, 0, 1}) << kNoResponse;
        QTest::newRow("MAC one byte short")
            << bytes({0, 0, 1, 0x2C, 0, 0x11, 0x22, 0x33, 0x44}) << kResponded + "300";
        QTest::newRow("MAC whole, build of 2^31 and more")
            << bytes({0x80, 0, 0, 0x2A, 0, 0x11, 0x0A, 0xFF, 0x2B, 0x03})
            << kResponded + "2147483690. MAC ID = 0-11-A-FF-2B-3";
    }
    void ping() {
        QFETCH(QByteArray, answer);
        QFETCH(QString, message);
        EthernetWindow w;
        w.arrive(bytes({0x00, 0x63}) + answer, 0.020);
        w.arrive(bytes({0x00, 0x63, 0xFF, 0xFF, 0xFF, 0xFF}), 0.030, kOtherHost);  // not the drive
        const double start = w.tp.time.now();

        w.session.Ping_Click();

        QCOMPARE(w.tp.udp.sent().size(), 1u);
        QCOMPARE(w.tp.udp.sent().front().data, bytes({0x00, 0x63, 0x00}));
        QCOMPARE(w.tp.udp.sent().front().host, kDriveIp);
        QCOMPARE(w.tp.time.now(), start + 0.1);  // an answer does not cut the wait short
        QCOMPARE(w.seen.texts(), QStringList{message});

        QCOMPARE(w.state().PingReplyData, answer);  // the answer stays...
        w.session.Ping_Click();  // ...until the next press, which the drive leaves unanswered
        QCOMPARE(w.seen.texts(), (QStringList{message, kNoResponse}));
        QVERIFY(w.state().PingReplyData.isEmpty());
    }

    void identification_data() {
        QTest::addColumn<QByteArray>("identity");  // revision, model code
        QTest::addColumn<QByteArray>("minor");
        QTest::addColumn<QString>("shown");  // revision, model
        QTest::addColumn<int>("modelCode");
        auto row = [](const char* name, const char* identity, const char* minor, const char* shown,
                      int code) {
            QTest::newRow(name) << QByteArray::fromHex(identity) << QByteArray(minor)
                                << QString::fromLatin1(shown) << code;
        };
        // The minor's code: either case, a blank skipped, a non-digit ends it.
        row("model 0, minor blank 7", "0000", "00 7", "1.00 \x07, Unknown", 0);
        row("identity one byte short", "05", "0042", "0.00, None", 0);
        row("minor one byte short", "0514", "004", "1.05, KX-D1", 20);
        row("revision 255, last model, af", "ff37", "00af", "3.55 \xaf, KX-M1", 55);
        row("model not in the table, FG", "0329", "00FG", "1.03 \x0f, Unknown", 41);
    }
    // The download's check and the flash tool's entry show the same.
    void identification() {
        QFETCH(QByteArray, identity);
        QFETCH(QByteArray, minor);
        QFETCH(int, modelCode);
        EthernetWindow w;
        // The drive answers "C" with `identity`, the minor-revision question with `minor`.
        w.tp.udp.onSend = [&](const QByteArray& sent, const QString&, quint16) {
            const QByteArray& reply = sent.at(2) == 'C' ? identity : minor;
            if (!reply.isNull()) {
                w.arrive(envelope(DatagramType::Command, reply), 0.001);
            }
        };
        QCOMPARE(SessionProbe(w.session).enetIdentification().CheckDrive(), modelCode != 0);
        QCOMPARE(w.session.identifyOverEthernet().modelCode, modelCode);
        QCOMPARE(w.session.driveState().DriveModelCode, modelCode);
        QTEST(w.seen.drive.revision + ", " + w.seen.drive.model, "shown");
        QVERIFY(w.seen.shown.empty());
    }
};

QTEST_MAIN(EthernetTest)
#include "test_ethernet.moc"
