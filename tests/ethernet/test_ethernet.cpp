// The Ethernet link on simulated time, through the session: the address
// rule and txtIP, what a command puts on the wire and how long it waits for
// its reply, what each arriving datagram leaves in the receive state, and the
// Ping button with its three outcomes.
#include <QTest>

#include "Bytes.h"
#include "Doubles.h"
#include "ethernet/AddressRules.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QString kDriveIp = QStringLiteral("192.168.0.20");
const QString kOtherHost = QStringLiteral("10.0.0.99");
const QString kTitle = QStringLiteral("Kestrel PRO Firmware Updater 0.1.0");
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
    void validIp_data();
    void validIp();
    void commandOnTheWire_data();
    void commandOnTheWire();
    void directSendsAndEmptyCommands();
    void replyWait_data();
    void replyWait();
    void badAddressSendsNothing_data();
    void badAddressSendsNothing();
    void arrivals_data();
    void arrivals();
    void ring_data();
    void ring();
    void ping_data();
    void ping();
};

void EthernetTest::validIp_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");

    QTest::newRow("ordinary") << "192.168.0.20" << true;
    QTest::newRow("default") << "10.10.10.10" << true;
    QTest::newRow("all zero") << "0.0.0.0" << true;
    QTest::newRow("all 255") << "255.255.255.255" << true;
    QTest::newRow("first group above 255") << "256.1.1.1" << false;
    QTest::newRow("last group above 255") << "1.2.3.256" << false;
    QTest::newRow("third group above 255, two dots") << "1.2.300" << false;
    QTest::newRow("commas") << "1,2,3,4" << false;
    QTest::newRow("trailing blank") << "1.2.3.4 " << false;
    QTest::newRow("empty") << "" << false;
    // Empty groups the rules catch...
    QTest::newRow("empty second group") << "1..2.3" << false;
    QTest::newRow("empty third group") << "1.2..3" << false;
    QTest::newRow("ends with third dot") << "1.2.3." << false;
    // ...and the ones they let through.
    QTest::newRow("two groups") << "1.2" << true;
    QTest::newRow("ends with first dot") << "1." << true;
    QTest::newRow("a dot alone") << "." << true;
    QTest::newRow("empty first group") << ".1.2.3" << true;
    // A fourth or later dot moves the third dot; its digits run on in group 4.
    QTest::newRow("five groups, 45") << "1.2.3.4.5" << true;
    QTest::newRow("five groups, 255") << "1.2.3.25.5" << true;
    QTest::newRow("five groups, 265") << "1.2.3.26.5" << false;
    QTest::newRow("ends with fourth dot") << "1.2.3.4." << false;
    QTest::newRow("fourth dot right after third") << "1.2.3..4" << true;
    QTest::newRow("leading zeros") << "1.2.3.0004" << true;
    QTest::newRow("long digit run") << "1.2.3.99999" << false;
    QTest::newRow("digit run past any integer") << QString(40, u'9') + ".1.1.1" << false;
    QTest::newRow("fullwidth digit") << QString::fromUtf8("\xef\xbc\x91.2.3.4") << false;
}

void EthernetTest::validIp() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(ValidIP(text), valid);

    // Leaving txtIP with it: the caption shows it, or a message says why not.
    EthernetWindow w;
    const QString captionBefore = w.seen.title;
    w.session.editAddress(text);
    w.session.txtIP_LostFocus();
    if (valid) {
        QVERIFY(w.seen.shown.empty());
        QCOMPARE(w.seen.title, text + QLatin1Char(' ') + kTitle);
    } else {
        QCOMPARE(w.seen.texts(),
                 QStringList{QStringLiteral(
                     "Invalid IP address.  Example of a valid address: 192.168.0.20")});
        QCOMPARE(w.seen.shown.front().icon, MessageIcon::None);
        QCOMPARE(w.seen.title, captionBefore);
    }
    QCOMPARE(w.seen.address, text);  // kept as typed either way
    QVERIFY(w.tp.udp.sent().empty());
}

void EthernetTest::commandOnTheWire_data() {
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("bytesBack");
    QTest::addColumn<QByteArray>("datagram");

    QTest::newRow("identity") << QByteArray("C") << 2 << bytes({0x00, 0x08, 0x43, 0x02});
    QTest::newRow("minor revision")
        << QByteArray("\x8Ey") << 4 << bytes({0x00, 0x08, 0x8E, 0x04, 0x79});
    QTest::newRow("twelve characters")
        << QByteArray("Xabcdefghijk") << 0
        << QByteArray::fromHex("00085800") + QByteArray("abcdefghijk");
    QTest::newRow("zero byte inside")
        << QByteArray("A\0B", 3) << 1 << bytes({0x00, 0x08, 0x41, 0x01, 0x00, 0x42});
}

void EthernetTest::commandOnTheWire() {
    QFETCH(QByteArray, command);
    QFETCH(int, bytesBack);
    QFETCH(QByteArray, datagram);
    EthernetWindow w;
    w.tp.udp.setRemoteHost(kOtherHost);  // as a datagram from elsewhere leaves it

    QVERIFY(w.channel().UDP_DCLcommand(command, static_cast<quint8>(bytesBack)));

    QCOMPARE(w.tp.udp.sent().size(), 1u);
    QCOMPARE(w.tp.udp.sent().front().data, datagram);
    QCOMPARE(w.tp.udp.sent().front().host, kDriveIp);
    QCOMPARE(w.tp.udp.sent().front().port, quint16(7775));
}

void EthernetTest::directSendsAndEmptyCommands() {
    EthernetWindow w;
    // The boot-loader entry sends its code in elements 1 to 4; element 0 is
    // a placeholder, and data without even that sends the letter alone.
    QVERIFY(w.channel().UDPSendDCLpacket("B", 0, "X5827"));
    QVERIFY(w.channel().UDPSendDCLpacket("S", 0, QByteArray()));
    QCOMPARE(w.tp.udp.sent().size(), 2u);
    QCOMPARE(w.tp.udp.sent()[0].data, QByteArray::fromHex("0008420035383237"));
    QCOMPARE(w.tp.udp.sent()[1].data, bytes({0x00, 0x08, 0x53, 0x00}));

    // No command text at all: nothing to send and nothing to wait for.
    const double start = w.tp.time.now();
    QVERIFY(!w.channel().UDP_DCLcommand("", 2));
    QVERIFY(!w.channel().UDPSendDCLpacket("", 2, kPlaceholderOnly));
    QCOMPARE(w.tp.udp.sent().size(), 2u);
    QCOMPARE(w.tp.time.now(), start);
}

void EthernetTest::replyWait_data() {
    QTest::addColumn<int>("bytesBack");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<double>("delay");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<double>("took");
    QTest::addColumn<QByteArray>("stored");  // UDPReplyData when the command returns

    const QByteArray full = bytes({0x00, 0x08, 0x05, 0x14});
    QTest::newRow("full reply ends the wait")
        << 2 << full << 0.003 << kDriveIp << 0.003 << bytes({0x05, 0x14});
    QTest::newRow("short reply waits 100 ms")
        << 2 << bytes({0x00, 0x08, 0x05}) << 0.003 << kDriveIp << 0.1 << bytes({0x05});
    QTest::newRow("late reply") << 2 << full << 0.150 << kDriveIp << 0.1 << kPlaceholderOnly;
    QTest::newRow("reply from another host") << 2 << bytes({0x00, 0x08, 0x03, 0x29}) << 0.010
                                             << kOtherHost << 0.010 << bytes({0x03, 0x29});
    QTest::newRow("BytesBack 0") << 0 << full << 0.003 << kDriveIp << 0.001 << kPlaceholderOnly;
    QTest::newRow("BytesBack 1") << 1 << full << 0.003 << kDriveIp << 0.001 << kPlaceholderOnly;
}

void EthernetTest::replyWait() {
    QFETCH(int, bytesBack);
    QFETCH(QByteArray, reply);
    QFETCH(double, delay);
    QFETCH(QString, sender);
    QFETCH(double, took);
    QFETCH(QByteArray, stored);
    EthernetWindow w;
    w.arrive(reply, delay, sender);
    const double start = w.tp.time.now();
    const long long passes = w.tp.time.passes;
    const long long sleeps = w.tp.time.blockingWaits;

    QVERIFY(w.channel().UDP_DCLcommand("C", static_cast<quint8>(bytesBack)));

    QCOMPARE(w.tp.time.now(), start + took);
    QCOMPARE(w.state().UDPReplyData, stored);
    if (bytesBack <= 1) {  // nothing to wait for: one event pass that does not sleep
        QCOMPARE(w.tp.time.passes - passes, 1);
        QCOMPARE(w.tp.time.blockingWaits, sleeps);
    } else {  // it sleeps in the event loop instead of spinning
        QVERIFY(w.tp.time.blockingWaits > sleeps);
    }
    QCOMPARE(w.tp.udp.sent().size(), 1u);
    QVERIFY(w.seen.shown.empty());

    w.session.Delay(100);  // a reply after the wait still lands
    QCOMPARE(w.state().UDPReplyData, reply.sliced(2));
    QCOMPARE(w.tp.udp.remoteHost(), sender);
}

void EthernetTest::badAddressSendsNothing_data() {
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

void EthernetTest::badAddressSendsNothing() {
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
    QCOMPARE(w.seen.texts(), QStringList{pingMessage});
    QCOMPARE(w.tp.time.now(), start);
    QCOMPARE(w.state().PingReplyData, pingLeft);

    QVERIFY(!w.channel().UDP_DCLcommand("C", 2));
    QCOMPARE(w.tp.time.now(), start + commandTook);
    QCOMPARE(w.state().UDPReplyData, kPlaceholderOnly);
    QCOMPARE(w.seen.status, status);
    QCOMPARE(w.channel().lastSendError().isEmpty(), status.isEmpty());
    QCOMPARE(w.seen.shown.size(), 1u);  // the command shows nothing
    QVERIFY(w.tp.udp.sent().empty());

    // A good address works again and clears the error.
    w.session.editAddress(kDriveIp);
    QVERIFY(w.channel().UDPSendDCLpacket("C", 2, kPlaceholderOnly));
    QVERIFY(w.channel().lastSendError().isEmpty());
}

void EthernetTest::arrivals_data() {
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
    QTest::newRow("drive identity, the latest kept") << "0063010203 006309"
                                                     << "reply=11 write=0 count=-1 ack=0/0 ping=09";
}

void EthernetTest::arrivals() {
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
    QVERIFY(w.seen.shown.empty());
    QCOMPARE(w.seen.status, QString());
}

void EthernetTest::ring_data() {
    QTest::addColumn<int>("start");           // both ring indexes
    QTest::addColumn<QList<int>>("lengths");  // text datagrams; bytes numbered 1, 2... across them
    QTest::addColumn<int>("write");
    QTest::addColumn<int>("firstSeen");  // number of the oldest byte the reader sees

    QTest::newRow("in arrival order") << 0 << QList<int>{4, 0, 6} << 10 << 1;
    QTest::newRow("exactly a ring: looks empty") << 0 << QList<int>{201} << 0 << 202;
    QTest::newRow("250: only the last 49 are seen") << 0 << QList<int>{250} << 49 << 202;
    QTest::newRow("wraps at 200") << 198 << QList<int>{5} << 2 << 1;
}

void EthernetTest::ring() {
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

void EthernetTest::ping_data() {
    QTest::addColumn<QByteArray>("answer");  // payload; null: the drive stays silent
    QTest::addColumn<double>("delay");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("message");

    QTest::newRow("silent") << QByteArray() << 0.0 << kDriveIp << kNoResponse;
    QTest::newRow("three bytes") << bytes({0, 0, 1}) << 0.020 << kDriveIp << kNoResponse;
    QTest::newRow("build only") << bytes({0, 0, 1, 0x2C}) << 0.020 << kDriveIp
                                << kResponded + "300";
    QTest::newRow("nine bytes, no MAC") << bytes({0, 0, 1, 0x2C, 0, 0x11, 0x22, 0x33, 0x44})
                                        << 0.020 << kDriveIp << kResponded + "300";
    QTest::newRow("build of 2^31 and more, from another host")
        << bytes({0x80, 0, 0, 0x2A, 0, 0x11, 0x0A, 0xFF, 0x2B, 0x03}) << 0.020 << kOtherHost
        << kResponded + "2147483690. MAC ID = 0-11-A-FF-2B-3";
    QTest::newRow("largest build, bytes after the MAC unread")
        << bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 0xEE}) << 0.020 << kDriveIp
        << kResponded + "4294967295. MAC ID = DE-AD-BE-EF-0-1";
    QTest::newRow("late answer") << bytes({0, 0, 0, 5}) << 0.150 << kDriveIp << kNoResponse;
}

void EthernetTest::ping() {
    QFETCH(QByteArray, answer);
    QFETCH(double, delay);
    QFETCH(QString, sender);
    QFETCH(QString, message);
    EthernetWindow w;
    w.tp.udp.setRemoteHost(QStringLiteral("10.0.0.7"));  // as a datagram from elsewhere leaves it
    if (!answer.isNull()) {
        w.arrive(bytes({0x00, 0x63}) + answer, delay, sender);
    }
    const double start = w.tp.time.now();

    w.session.Ping_Click();

    QCOMPARE(w.tp.udp.sent().size(), 1u);
    QCOMPARE(w.tp.udp.sent().front().data, bytes({0x00, 0x63, 0x00}));
    QCOMPARE(w.tp.udp.sent().front().host, kDriveIp);
    QCOMPARE(w.tp.udp.sent().front().port, quint16(7775));
    QCOMPARE(w.tp.time.now(), start + 0.1);  // an answer does not cut the wait short
    QCOMPARE(w.seen.texts(), QStringList{message});
    QCOMPARE(w.seen.shown.front().icon, MessageIcon::None);

    w.session.Delay(100);  // a late answer lands too, and stays...
    QCOMPARE(w.state().PingReplyData, answer);
    QCOMPARE(w.tp.udp.remoteHost(), sender);
    w.session.Ping_Click();  // ...until the next press, which the drive leaves unanswered
    QCOMPARE(w.seen.texts(), (QStringList{message, kNoResponse}));
    QVERIFY(w.state().PingReplyData.isEmpty());
}

QTEST_MAIN(EthernetTest)
#include "test_ethernet.moc"
