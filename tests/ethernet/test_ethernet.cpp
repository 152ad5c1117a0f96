// The Ethernet link: the address rule, and through the
// session on simulated time what a command puts on the wire and how long it
// waits for its reply, what each arriving datagram leaves in the receive
// state, and the Ping button.
#include <QTest>

#include "Bytes.h"
#include "Doubles.h"
#include "ethernet/AddressRules.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QString kDriveIp = QStringLiteral("192.168.0.20");
const QString kOtherHost = QStringLiteral("10.0.0.99");
const QString kResponded = QStringLiteral("Drive responded.  ARM build number is ");
const QString kNoResponse = QStringLiteral("No response from drive");
const QByteArray kPlaceholderOnly(1, '\0');

// The session switched to the Ethernet link, with the drive's address typed
// into txtIP.
struct EthernetWindow {
    EthernetWindow() {
        tp.serial.setOpenResult(1, 0);
        session.Form_Load();
        session.editAddress(kDriveIp);
        session.driveAddress().selectEthernet();
    }
    // `datagram` reaches the host from `sender`, `delay` seconds from now.
    void arrive(const QByteArray& datagram, double delay, const QString& sender = kDriveIp) {
        tp.time.after(delay,
                      [this, datagram, sender] { tp.udp.receiveFromNetwork(datagram, sender); });
    }
    UdpChannel& channel() { return session.udpChannel(); }
    UdpState& state() { return session.udpState(); }
    QByteArray sent(std::size_t i = 0) const { return tp.udp.sent().at(i).data; }

    TestPlatform tp;
    RecordingObserver seen;
    Session session{tp.platform, seen};
};

// The receive state but the ring's bytes, in one comparable text.
QString snapshot(const UdpState& s) {
    return QStringLiteral("reply=%1 write=%2 count=%3 ack=%4/%5 ping=%6")
        .arg(QString::fromLatin1(s.UDPReplyData.toHex()))
        .arg(s.UdpRingWrite)
        .arg(s.DriveRxCount)
        .arg(s.AckReceived)
        .arg(s.AckCount)
        .arg(QString::fromLatin1(s.PingReplyData.toHex()));
}

QByteArray counting(int from, int to) {
    QByteArray out;
    for (int v = from; v <= to; ++v) {
        out.append(static_cast<char>(v & 0xFF));
    }
    return out;
}

}  // namespace

class EthernetTest : public QObject {
    Q_OBJECT
  private slots:
    void validIp_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("all 255") << "255.255.255.255" << true;
        QTest::newRow("first group 256") << "256.1.1.1" << false;
        QTest::newRow("trailing blank") << "1.2.3.4 " << false;
        QTest::newRow("fullwidth digit") << QString::fromUtf8("\xef\xbc\x91.2.3.4") << false;
        QTest::newRow("digit run past any integer") << QString(40, u'9') + ".1.1.1" << false;
        // Empty groups the rules catch...
        QTest::newRow("empty second group") << "1..2.3" << false;
        QTest::newRow("ends with third dot") << "1.2.3." << false;
        // ...and the ones they let through.
        QTest::newRow("two groups") << "1.2" << true;
        QTest::newRow("empty first group") << ".1.2.3" << true;
        // A fourth or later dot moves the third dot; its digits run on in group 4.
        QTest::newRow("five groups, 255") << "1.2.3.25.5" << true;
        QTest::newRow("five groups, 265") << "1.2.3.26.5" << false;
        QTest::newRow("ends with fourth dot") << "1.2.3.4." << false;
    }
    // Leaving txtIP with it: the caption shows it, or a message says why not.
    void validIp() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(ValidIP(text), valid);
        EthernetWindow w;
        const QString titleBefore = w.seen.title;
        w.session.editAddress(text);
        w.session.txtIP_LostFocus();
        QCOMPARE(w.seen.texts(),
                 valid ? QStringList()
                       : QStringList{QStringLiteral(
                             "Invalid IP address.  Example of a valid address: 192.168.0.20")});
        QCOMPARE(w.seen.title, valid ? text + QStringLiteral(" Kestrel PRO Firmware Updater 0.1.0")
                                     : titleBefore);
        QCOMPARE(w.seen.address, text);  // kept as typed either way
        QVERIFY(w.tp.udp.sent().empty());
    }

    // The datagram a command sends, what the drive answers and when; how long
    // the command waits and what UDPReplyData holds when it returns.
    void command_data() {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("bytesBack");
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<double>("delay");
        QTest::addColumn<double>("took");
        QTest::addColumn<QByteArray>("stored");
        const QByteArray identity = bytes({0x00, 0x08, 0x43, 0x02});
        const QByteArray full = bytes({0x00, 0x08, 0x05, 0x14});
        QTest::newRow("full reply ends the wait")
            << QByteArray("C") << 2 << identity << full << 0.003 << 0.003 << bytes({0x05, 0x14});
        QTest::newRow("short reply waits 100 ms")
            << QByteArray("\x8Ey") << 4 << bytes({0x00, 0x08, 0x8E, 0x04, 0x79})
            << bytes({0x00, 0x08, 0x05, 0x14, 0x00}) << 0.003 << 0.1 << bytes({0x05, 0x14, 0x00});
        QTest::newRow("late reply")
            << QByteArray("C") << 2 << identity << full << 0.150 << 0.1 << kPlaceholderOnly;
        QTest::newRow("BytesBack 0, twelve characters")
            << QByteArray("Xabcdefghijk") << 0
            << QByteArray::fromHex("00085800") + QByteArray("abcdefghijk") << full << 0.003 << 0.001
            << kPlaceholderOnly;
        QTest::newRow("BytesBack 1, zero byte inside")
            << QByteArray("A\0B", 3) << 1 << bytes({0x00, 0x08, 0x41, 0x01, 0x00, 0x42}) << full
            << 0.003 << 0.001 << kPlaceholderOnly;
    }
    void command() {
        QFETCH(QByteArray, command);
        QFETCH(int, bytesBack);
        QFETCH(QByteArray, datagram);
        QFETCH(QByteArray, reply);
        QFETCH(double, delay);
        QFETCH(double, took);
        QFETCH(QByteArray, stored);
        EthernetWindow w;
        w.tp.udp.setRemoteHost(kOtherHost);  // as a datagram from elsewhere leaves it
        w.arrive(reply, delay);
        const double start = w.tp.time.now();
        const long long sleeps = w.tp.time.blockingWaits;

        QVERIFY(w.channel().UDP_DCLcommand(command, static_cast<quint8>(bytesBack)));

        QCOMPARE(w.tp.udp.sent().size(), 1u);
        QCOMPARE(w.sent(), datagram);
        QCOMPARE(w.tp.udp.sent().front().host, kDriveIp);
        QCOMPARE(w.tp.udp.sent().front().port, quint16(7775));
        QCOMPARE(w.tp.time.now(), start + took);
        QCOMPARE(w.state().UDPReplyData, stored);
        // It sleeps in the event loop instead of spinning, when there is
        // anything to wait for.
        QCOMPARE(w.tp.time.blockingWaits > sleeps, bytesBack > 1);
        w.session.Delay(100);  // a reply after the wait still lands
        QCOMPARE(w.state().UDPReplyData, reply.sliced(2));
        QVERIFY(w.seen.shown.empty());
    }

    // The boot-loader entry sends its code in elements 1 to 4; element 0 is a
    // placeholder, and data without even that sends the letter alone. No
    // command text at all sends nothing and waits for nothing.
    void directSendsAndEmptyCommands() {
        EthernetWindow w;
        QVERIFY(w.channel().UDPSendDCLpacket("B", 0, "X5827"));
        QVERIFY(w.channel().UDPSendDCLpacket("S", 0, QByteArray()));
        const double start = w.tp.time.now();
        QVERIFY(!w.channel().UDP_DCLcommand("", 2));
        QVERIFY(!w.channel().UDPSendDCLpacket("", 2, kPlaceholderOnly));
        QCOMPARE(w.tp.time.now(), start);
        QCOMPARE(w.tp.udp.sent().size(), 2u);
        QCOMPARE(w.sent(0), QByteArray::fromHex("0008420035383237"));
        QCOMPARE(w.sent(1), bytes({0x00, 0x08, 0x53, 0x00}));
    }

    void badAddressSendsNothing_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("pingMessage");
        QTest::addColumn<QByteArray>("pingLeft");  // PingReplyData afterwards
        QTest::addColumn<double>("commandTook");
        QTest::addColumn<QString>("status");
        QTest::newRow("invalid: the command is silent and waits it out")
            << "1..2.3"
            << "Invalid drive IP address" << bytes({1, 2, 3, 4}) << 0.1 << QString();
        // ".1.2.3" passes the address check, but no socket can send to it.
        QTest::newRow("refused by the socket: the command returns at once")
            << ".1.2.3"
            << "Invalid remote host \".1.2.3\"" << QByteArray() << 0.0
            << "UDP send failed: Invalid remote host \".1.2.3\"\r\n";
    }
    void badAddressSendsNothing() {
        QFETCH(QString, address);
        QFETCH(QString, pingMessage);
        QFETCH(QByteArray, pingLeft);
        QFETCH(double, commandTook);
        QFETCH(QString, status);
        EthernetWindow w;
        w.state().PingReplyData = bytes({1, 2, 3, 4});
        w.session.editAddress(address);
        const double start = w.tp.time.now();

        w.session.Ping_Click();
        QCOMPARE(w.tp.time.now(), start);
        QCOMPARE(w.state().PingReplyData, pingLeft);
        QVERIFY(!w.channel().UDP_DCLcommand("C", 2));
        QCOMPARE(w.tp.time.now(), start + commandTook);
        QCOMPARE(w.state().UDPReplyData, kPlaceholderOnly);
        QCOMPARE(w.seen.status, status);
        QCOMPARE(w.seen.texts(), QStringList{pingMessage});  // the command shows nothing
        QVERIFY(w.tp.udp.sent().empty());

        QCOMPARE(w.channel().lastSendError().isEmpty(), status.isEmpty());
    }

    void arrivals_data() {
        QTest::addColumn<QString>("datagrams");  // in hex, one word each
        QTest::addColumn<QString>("state");
        // No datagram of these two rows may change anything on its own.
        const QString untouched = QStringLiteral("reply=11 write=0 count=-1 ack=0/0 ping=22");
        QTest::newRow("malformed: one byte, type 32768, short count")
            << "08 800005 0010FF" << untouched;
        QTest::newRow("types 6 and 100 dropped, 7 and 21 without effect")
            << "00060514 00640514 00070102 00150102" << untouched;
        QTest::newRow("empty reply") << "0008"
                                     << "reply= write=0 count=-1 ack=0/0 ping=22";
        QTest::newRow("count 65534") << "0010FFFE"
                                     << "reply=11 write=0 count=65534 ack=0/0 ping=22";
        QTest::newRow("acknowledgements") << "0011 0011AABB"
                                          << "reply=11 write=0 count=-1 ack=1/2 ping=22";
        QTest::newRow("drive identity, the latest kept")
            << "0063010203 006309"
            << "reply=11 write=0 count=-1 ack=0/0 ping=09";
    }
    void arrivals() {
        QFETCH(QString, datagrams);
        QFETCH(QString, state);
        EthernetWindow w;
        w.state().UDPReplyData = bytes({0x11});
        w.state().PingReplyData = bytes({0x22});
        for (const QString& datagram : datagrams.split(QLatin1Char(' '))) {
            w.tp.udp.receiveFromNetwork(QByteArray::fromHex(datagram.toLatin1()), kOtherHost);
        }
        w.tp.pump.processPending();

        QCOMPARE(snapshot(w.state()), state);
        QVERIFY(!w.tp.udp.hasPendingDatagram());      // each read, kept or let go
        QCOMPARE(w.tp.udp.remoteHost(), kOtherHost);  // even a dropped one moves the remote host
        QVERIFY(w.seen.shown.empty() && w.seen.status.isEmpty());
    }

    // Text datagrams go round a ring of 201 bytes; bytes are numbered 1, 2...
    // across the datagrams.
    void ring_data() {
        QTest::addColumn<int>("start");  // both ring indexes
        QTest::addColumn<QList<int>>("lengths");
        QTest::addColumn<int>("write");
        QTest::addColumn<int>("firstSeen");  // number of the oldest byte the reader sees
        QTest::newRow("in arrival order") << 0 << QList<int>{4, 0, 6} << 10 << 1;
        QTest::newRow("exactly a ring: looks empty") << 0 << QList<int>{201} << 0 << 202;
        QTest::newRow("250: only the last 49 are seen") << 0 << QList<int>{250} << 49 << 202;
        QTest::newRow("wraps at 200") << 198 << QList<int>{5} << 2 << 1;
    }
    void ring() {
        QFETCH(int, start);
        QFETCH(QList<int>, lengths);
        QFETCH(int, write);
        QFETCH(int, firstSeen);
        EthernetWindow w;
        w.state().UdpRingRead = w.state().UdpRingWrite = start;
        int total = 0;
        for (const int length : lengths) {
            w.arrive(bytes({0x00, 0x0F}) + counting(total + 1, total + length), 0);
            total += length;
        }
        w.tp.pump.processPending();

        QCOMPARE(w.state().UdpRingWrite, write);
        QCOMPARE(w.state().UdpRingRead, start);
        // Read as the download does: from the read index up to the write index.
        QByteArray seen;
        for (int i = start; i != write; i = (i + 1) % 201) {
            seen.append(static_cast<char>(w.state().UdpRing[static_cast<std::size_t>(i)]));
        }
        QCOMPARE(seen, counting(firstSeen, total));
    }

    void ping_data() {
        QTest::addColumn<QByteArray>("answer");  // payload; null: the drive stays silent
        QTest::addColumn<double>("delay");
        QTest::addColumn<QString>("message");
        QTest::newRow("silent") << QByteArray() << 0.0 << kNoResponse;
        QTest::newRow("three bytes") << bytes({0, 0, 1}) << 0.020 << kNoResponse;
        QTest::newRow("nine bytes, no MAC")
            << bytes({0, 0, 1, 0x2C, 0, 0x11, 0x22, 0x33, 0x44}) << 0.020 << kResponded + "300";
        QTest::newRow("build of 2^31 and more")
            << bytes({0x80, 0, 0, 0x2A, 0, 0x11, 0x0A, 0xFF, 0x2B, 0x03}) << 0.020
            << kResponded + "2147483690. MAC ID = 0-11-A-FF-2B-3";
        QTest::newRow("largest build, bytes after the MAC unread")
            << bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 0xEE}) << 0.020
            << kResponded + "4294967295. MAC ID = DE-AD-BE-EF-0-1";
        QTest::newRow("late answer") << bytes({0, 0, 0, 5}) << 0.150 << kNoResponse;
    }
    void ping() {
        QFETCH(QByteArray, answer);
        QFETCH(double, delay);
        QFETCH(QString, message);
        EthernetWindow w;
        w.tp.udp.setRemoteHost(kOtherHost);  // as a datagram from elsewhere leaves it
        if (!answer.isNull()) {
            w.arrive(bytes({0x00, 0x63}) + answer, delay, QStringLiteral("10.0.0.7"));
        }
        const double start = w.tp.time.now();

        w.session.Ping_Click();

        QCOMPARE(w.tp.udp.sent().size(), 1u);
        QCOMPARE(w.sent(), bytes({0x00, 0x63, 0x00}));
        QCOMPARE(w.tp.udp.sent().front().host, kDriveIp);
        QCOMPARE(w.tp.time.now(), start + 0.1);  // an answer does not cut the wait short
        QCOMPARE(w.seen.texts(), QStringList{message});
        QCOMPARE(w.seen.shown.front().icon, MessageIcon::None);

        w.session.Delay(100);  // a late answer lands too, and stays...
        QCOMPARE(w.state().PingReplyData, answer);
        w.session.Ping_Click();  // ...until the next press, which the drive leaves unanswered
        QCOMPARE(w.seen.texts(), (QStringList{message, kNoResponse}));
        QVERIFY(w.state().PingReplyData.isEmpty());
    }
};

QTEST_MAIN(EthernetTest)
#include "test_ethernet.moc"
