// The UDP command channel on simulated time, inside the real window: what a
// command puts on the wire, how long it waits for its reply, and what every
// kind of arriving datagram leaves in the receive state.
#include <QTest>

#include "EthernetWindow.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QByteArray kIdentity = bytes({0x00, 0x08, 0x43, 0x02});
const QString kOtherHost = QStringLiteral("10.0.0.99");

// Everything the dispatcher may write, in one comparable text.
QString snapshot(const UdpState& s) {
    const QByteArray ring(reinterpret_cast<const char*>(s.UdpRing.data()),
                          static_cast<qsizetype>(s.UdpRing.size()));
    return QStringLiteral("reply=%1 ring=%2 read=%3 write=%4 count=%5 ack=%6/%7 ping=%8")
        .arg(QString::fromLatin1(s.UDPReplyData.toHex()), QString::fromLatin1(ring.toHex()))
        .arg(s.UdpRingRead)
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

class UdpChannelTest : public QObject {
    Q_OBJECT
  private slots:
    void commandOnTheWire_data();
    void commandOnTheWire();
    void placeholderIsNeverSent();
    void degenerateCommands();
    void smallReplyEndsAfterOnePass_data();
    void smallReplyEndsAfterOnePass();
    void fullReplyEndsTheWait();
    void shortReplyWaitsTheFullWait();
    void lateReplyStillLands();
    void replyFromAnotherHostIsTaken();
    void invalidAddressSendsNothing();
    void refusedSendReturnsAtOnce();
    void malformedDatagramsAreDropped_data();
    void malformedDatagramsAreDropped();
    void commandReplyWithoutPayload();
    void packetCount_data();
    void packetCount();
    void acknowledgementsCount();
    void pingAnswerIsStored();
    void ring_data();
    void ring();
    void ringKeepsArrivalOrder();
    void remoteHostFollowsTheSender();
};

void UdpChannelTest::commandOnTheWire_data() {
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("bytesBack");
    QTest::addColumn<QByteArray>("datagram");

    QTest::newRow("identity") << QByteArray("C") << 2 << kIdentity;
    QTest::newRow("minor revision")
        << QByteArray("\x8Ey") << 4 << bytes({0x00, 0x08, 0x8E, 0x04, 0x79});
    QTest::newRow("twelve characters")
        << QByteArray("Xabcdefghijk") << 0
        << QByteArray::fromHex("00085800") + QByteArray("abcdefghijk");
    QTest::newRow("255 reply bytes") << QByteArray("S") << 255 << bytes({0x00, 0x08, 0x53, 0xFF});
    QTest::newRow("zero byte inside")
        << QByteArray("A\0B", 3) << 1 << bytes({0x00, 0x08, 0x41, 0x01, 0x00, 0x42});
}

void UdpChannelTest::commandOnTheWire() {
    QFETCH(QByteArray, command);
    QFETCH(int, bytesBack);
    QFETCH(QByteArray, datagram);
    EthernetWindow w;

    QVERIFY(w.channel().UDP_DCLcommand(command, static_cast<quint8>(bytesBack)));

    QCOMPARE(w.tp.udp.sent().size(), 1u);
    const auto& sent = w.tp.udp.sent().front();
    QCOMPARE(sent.data, datagram);
    QCOMPARE(sent.data.size(), command.size() + 3);
    QCOMPARE(sent.host, EthernetWindow::DriveIp);
    QCOMPARE(sent.port, quint16(7775));
}

void UdpChannelTest::placeholderIsNeverSent() {
    // The boot-loader entry sends its code in elements 1 to 4.
    EthernetWindow w;
    QVERIFY(w.channel().UDPSendDCLpacket("B", 0, "X5827"));
    QCOMPARE(w.tp.udp.sent().size(), 1u);
    QCOMPARE(w.tp.udp.sent().front().data, QByteArray::fromHex("0008420035383237"));
}

void UdpChannelTest::degenerateCommands() {
    EthernetWindow w;
    const double start = w.tp.time.now();
    // No command text at all: nothing to send and nothing to wait for.
    QVERIFY(!w.channel().UDP_DCLcommand("", 2));
    QVERIFY(!w.channel().UDPSendDCLpacket("", 2, QByteArray(1, '\0')));
    QVERIFY(w.tp.udp.sent().empty());
    QCOMPARE(w.tp.time.now(), start);
    // Data without even the placeholder sends the letter alone.
    QVERIFY(w.channel().UDPSendDCLpacket("S", 0, QByteArray()));
    QCOMPARE(w.tp.udp.sent().back().data, bytes({0x00, 0x08, 0x53, 0x00}));
}

void UdpChannelTest::smallReplyEndsAfterOnePass_data() {
    QTest::addColumn<int>("bytesBack");
    QTest::newRow("0") << 0;
    QTest::newRow("1") << 1;
}

void UdpChannelTest::smallReplyEndsAfterOnePass() {
    QFETCH(int, bytesBack);
    EthernetWindow w;  // the drive never answers "Q"
    const long long passes = w.tp.time.passes;
    const long long blockingWaits = w.tp.time.blockingWaits;
    const double start = w.tp.time.now();

    QVERIFY(w.channel().UDP_DCLcommand("Q", static_cast<quint8>(bytesBack)));

    QCOMPARE(w.tp.time.passes - passes, 1);
    QCOMPARE(w.tp.time.blockingWaits, blockingWaits);  // that pass did not sleep
    QVERIFY(w.tp.time.now() <= start + w.tp.time.passStep);
    QCOMPARE(w.state().UDPReplyData, QByteArray(1, '\0'));
}

void UdpChannelTest::fullReplyEndsTheWait() {
    EthernetWindow w;
    w.drive.answer(kIdentity, bytes({0x00, 0x08, 0x05, 0x14}), 0.003);
    const double start = w.tp.time.now();

    w.channel().UDP_DCLcommand("C", 2);

    // It returns in the event pass that stores the reply.
    QCOMPARE(w.tp.time.now(), start + w.tp.udp.latency + 0.003);
    QCOMPARE(w.state().UDPReplyData, bytes({0x05, 0x14}));
}

void UdpChannelTest::shortReplyWaitsTheFullWait() {
    EthernetWindow w;
    w.drive.answer(kIdentity, bytes({0x00, 0x08, 0x05}), 0.003);
    const double start = w.tp.time.now();

    w.channel().UDP_DCLcommand("C", 2);

    QCOMPARE(w.tp.time.now(), start + UdpChannel::ReplyWait);
    QCOMPARE(w.state().UDPReplyData, bytes({0x05}));
    QVERIFY(w.tp.time.blockingWaits > 0);  // it slept in the event loop
    QVERIFY(w.tp.messages.shown.empty());
}

void UdpChannelTest::lateReplyStillLands() {
    EthernetWindow w;
    w.drive.answer(kIdentity, bytes({0x00, 0x08, 0x05, 0x14}), 0.150);
    const double start = w.tp.time.now();

    w.channel().UDP_DCLcommand("C", 2);
    QCOMPARE(w.tp.time.now(), start + UdpChannel::ReplyWait);
    QCOMPARE(w.state().UDPReplyData, QByteArray(1, '\0'));

    w.form.Delay(100);
    QCOMPARE(w.state().UDPReplyData, bytes({0x05, 0x14}));
}

void UdpChannelTest::replyFromAnotherHostIsTaken() {
    EthernetWindow w;
    w.tp.time.after(0.010, [&] {
        w.tp.udp.receiveFromNetwork(bytes({0, 8, 3, 0x29}), kOtherHost);
    });

    w.channel().UDP_DCLcommand("C", 2);

    QCOMPARE(w.state().UDPReplyData, bytes({0x03, 0x29}));
    QCOMPARE(w.tp.udp.remoteHost(), kOtherHost);
}

void UdpChannelTest::invalidAddressSendsNothing() {
    EthernetWindow w;
    w.form.setIpText(QStringLiteral("1.2.3."));
    const double start = w.tp.time.now();

    QVERIFY(!w.channel().UDP_DCLcommand("C", 2));

    QVERIFY(w.tp.udp.sent().empty());
    QCOMPARE(w.tp.time.now(), start + UdpChannel::ReplyWait);
    QCOMPARE(w.state().UDPReplyData, QByteArray(1, '\0'));
    QVERIFY(w.channel().lastSendError().isEmpty());
    QVERIFY(w.tp.messages.shown.empty());
    QCOMPARE(w.form.statusText(), QString());
    QVERIFY(!w.channel().UDPSendDCLpacket("B", 0,
                                          "\0"
                                          "5827"));
    QVERIFY(w.tp.udp.sent().empty());
}

void UdpChannelTest::refusedSendReturnsAtOnce() {
    // ".1.2.3" passes the address check, but no socket can send to it.
    EthernetWindow w;
    w.form.setIpText(QStringLiteral(".1.2.3"));
    const double start = w.tp.time.now();

    QVERIFY(!w.channel().UDP_DCLcommand("C", 2));

    QCOMPARE(w.tp.time.now(), start);
    QVERIFY(w.tp.udp.sent().empty());
    QCOMPARE(w.channel().lastSendError(), QStringLiteral("Invalid remote host \".1.2.3\""));
    QCOMPARE(w.form.statusText(),
             QStringLiteral("UDP send failed: Invalid remote host \".1.2.3\"\r\n"));
    QVERIFY(w.tp.messages.shown.empty());
    QCOMPARE(w.state().UDPReplyData, QByteArray(1, '\0'));

    // A good address later works again and clears the error.
    w.form.setIpText(EthernetWindow::DriveIp);
    QVERIFY(w.channel().UDPSendDCLpacket("C", 2, QByteArray(1, '\0')));
    QVERIFY(w.channel().lastSendError().isEmpty());
}

void UdpChannelTest::malformedDatagramsAreDropped_data() {
    QTest::addColumn<QByteArray>("datagram");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("single byte 08") << bytes({0x08});
    QTest::newRow("type 32768") << bytes({0x80, 0x00, 0x05, 0x14});
    QTest::newRow("type 0x0808 looks like a reply") << bytes({0x08, 0x08, 0x05, 0x14});
    QTest::newRow("type 6") << bytes({0x00, 0x06, 0x05, 0x14});
    QTest::newRow("type 100") << bytes({0x00, 0x64, 0x05, 0x14});
    QTest::newRow("count without payload") << bytes({0x00, 0x10});
    QTest::newRow("count of one byte") << bytes({0x00, 0x10, 0xFF});
    QTest::newRow("type 7 accepted") << bytes({0x00, 0x07, 0x01, 0x02});
    QTest::newRow("type 21 accepted") << bytes({0x00, 0x15, 0x01, 0x02});
    QTest::newRow("sent-only type 18") << bytes({0x00, 0x12, 0x01});
}

void UdpChannelTest::malformedDatagramsAreDropped() {
    QFETCH(QByteArray, datagram);
    EthernetWindow w;
    w.state().UDPReplyData = bytes({0x11});
    w.state().PingReplyData = bytes({0x22});
    const QString before = snapshot(w.state());

    w.tp.udp.receiveFromNetwork(datagram, kOtherHost);
    w.tp.pump.processPending();

    QCOMPARE(snapshot(w.state()), before);
    QVERIFY(!w.tp.udp.hasPendingDatagram());  // read and let go
    QVERIFY(w.tp.messages.shown.empty());
    QCOMPARE(w.form.statusText(), QString());
}

void UdpChannelTest::commandReplyWithoutPayload() {
    EthernetWindow w;
    w.tp.udp.receiveFromNetwork(bytes({0x00, 0x08}), EthernetWindow::DriveIp);
    w.tp.pump.processPending();
    QVERIFY(w.state().UDPReplyData.isEmpty());
}

void UdpChannelTest::packetCount_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("count");

    QTest::newRow("65534") << bytes({0x00, 0x10, 0xFF, 0xFE}) << 65534;
    QTest::newRow("zero") << bytes({0x00, 0x10, 0x00, 0x00}) << 0;
    QTest::newRow("high byte first, extra ignored") << bytes({0x00, 0x10, 0x01, 0x02, 0x03}) << 258;
}

void UdpChannelTest::packetCount() {
    QFETCH(QByteArray, datagram);
    QFETCH(int, count);
    EthernetWindow w;
    QCOMPARE(w.state().DriveRxCount, -1);
    w.tp.udp.receiveFromNetwork(datagram, EthernetWindow::DriveIp);
    w.tp.pump.processPending();
    QCOMPARE(w.state().DriveRxCount, count);
}

void UdpChannelTest::acknowledgementsCount() {
    EthernetWindow w;
    w.tp.udp.receiveFromNetwork(bytes({0x00, 0x11}), EthernetWindow::DriveIp);
    w.tp.udp.receiveFromNetwork(bytes({0x00, 0x11, 0xAA, 0xBB}), EthernetWindow::DriveIp);
    w.tp.pump.processPending();
    QVERIFY(w.state().AckReceived);
    QCOMPARE(w.state().AckCount, 2);
}

void UdpChannelTest::pingAnswerIsStored() {
    EthernetWindow w;
    w.tp.udp.receiveFromNetwork(bytes({0x00, 0x63, 1, 2, 3}), EthernetWindow::DriveIp);
    w.tp.udp.receiveFromNetwork(bytes({0x00, 0x63, 9}), EthernetWindow::DriveIp);
    w.tp.pump.processPending();
    QCOMPARE(w.state().PingReplyData, bytes({9}));
}

void UdpChannelTest::ring_data() {
    QTest::addColumn<int>("startIndex");  // both ring indexes
    QTest::addColumn<int>("length");      // payload bytes 1..length, each its own number
    QTest::addColumn<int>("write");
    QTest::addColumn<int>("firstUnread");  // number of the oldest byte the reader sees

    QTest::newRow("fits") << 0 << 10 << 10 << 1;
    QTest::newRow("exactly a ring: looks empty") << 0 << 201 << 0 << 202;
    QTest::newRow("250: only the last 49 are seen") << 0 << 250 << 49 << 202;
    QTest::newRow("wraps at 200") << 198 << 5 << 2 << 1;
    QTest::newRow("last index") << 200 << 1 << 0 << 1;
}

void UdpChannelTest::ring() {
    QFETCH(int, startIndex);
    QFETCH(int, length);
    QFETCH(int, write);
    QFETCH(int, firstUnread);
    EthernetWindow w;
    w.state().UdpRingRead = w.state().UdpRingWrite = startIndex;

    w.tp.udp.receiveFromNetwork(bytes({0x00, 0x0F}) + counting(1, length), EthernetWindow::DriveIp);
    w.tp.pump.processPending();

    QCOMPARE(w.state().UdpRingWrite, write);
    QCOMPARE(w.state().UdpRingRead, startIndex);
    // Read as the download does: from the read index up to the write index.
    QByteArray seen;
    for (int i = w.state().UdpRingRead; i != w.state().UdpRingWrite; i = (i + 1) % 201) {
        seen.append(static_cast<char>(w.state().UdpRing[static_cast<std::size_t>(i)]));
    }
    QCOMPARE(seen, counting(firstUnread, length));
}

void UdpChannelTest::ringKeepsArrivalOrder() {
    EthernetWindow w;
    w.tp.udp.receiveFromNetwork(QByteArray::fromHex("000F") + "..", EthernetWindow::DriveIp);
    w.tp.udp.receiveFromNetwork(QByteArray::fromHex("000F"), EthernetWindow::DriveIp);
    w.tp.udp.receiveFromNetwork(QByteArray::fromHex("000F") + "E", EthernetWindow::DriveIp);
    w.tp.pump.processPending();
    QCOMPARE(w.state().UdpRingWrite, 3);
    QCOMPARE(w.state().UdpRing[0], '.');
    QCOMPARE(w.state().UdpRing[1], '.');
    QCOMPARE(w.state().UdpRing[2], 'E');
}

void UdpChannelTest::remoteHostFollowsTheSender() {
    EthernetWindow w;
    // Even a datagram that is dropped moves the remote host to its sender.
    w.tp.udp.receiveFromNetwork(bytes({0x08}), kOtherHost);
    w.tp.pump.processPending();
    QCOMPARE(w.tp.udp.remoteHost(), kOtherHost);

    // The next command goes to txtIP again...
    w.channel().UDPSendDCLpacket("S", 0, QByteArray(1, '\0'));
    QCOMPARE(w.tp.udp.sent().back().host, EthernetWindow::DriveIp);

    // ...and datagrams sent without a command go to the last sender.
    w.tp.udp.receiveFromNetwork(bytes({0x00, 0x11}), QStringLiteral("10.0.0.7"));
    w.tp.pump.processPending();
    QCOMPARE(w.tp.udp.remoteHost(), QStringLiteral("10.0.0.7"));
}

QTEST_MAIN(UdpChannelTest)
#include "test_udp_channel.moc"
