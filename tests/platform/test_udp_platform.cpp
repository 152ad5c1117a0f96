// The real UDP socket on loopback: binding a taken port reports Winsock's
// number, datagrams keep their boundaries, and the sender's address is known.
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

#include "platform/qt/QtUdpSocket.h"

using namespace kestrel;

class UdpPlatformTest : public QObject {
    Q_OBJECT
  private slots:
    void takenPortGivesAddressInUse() {
        QUdpSocket squatter;
        QVERIFY(squatter.bind(QHostAddress::AnyIPv4, 7777));
        const UdpBindResult result = QtUdpSocket().bind(7777);
        QCOMPARE(result.error, 10048);
        QVERIFY(!result.description.isEmpty());
    }

    void sendsAndReceivesWholeDatagrams() {
        // 127.0.0.2 plays the drive: a socket bound to one address would not hear it.
        const QHostAddress driveAddress(QStringLiteral("127.0.0.2"));
        QUdpSocket drive;
        QVERIFY(drive.bind(driveAddress, 7775));
        QtUdpSocket socket;
        QCOMPARE(socket.bind(7777).error, 0);
        socket.setRemoteHost("127.0.0.2");
        socket.setRemotePort(7775);
        QVERIFY(socket.send(QByteArray("\x00\x08\x43\x02", 4)));
        QTRY_VERIFY(drive.hasPendingDatagrams());
        const QNetworkDatagram command = drive.receiveDatagram();
        QCOMPARE(command.data(), QByteArray("\x00\x08\x43\x02", 4));
        QCOMPARE(command.senderPort(), 7777);

        QList<ReceivedDatagram> got;
        socket.setArrivalHandler([&] { got << socket.readDatagram(); });  // one notice per datagram
        drive.writeDatagram(QByteArray("\x00\x08\x05\x37", 4), driveAddress, 7777);
        drive.writeDatagram(QByteArray("\x00\x11", 2), driveAddress, 7777);
        QTRY_COMPARE(got.size(), 2);
        QCOMPARE(got[0].data, QByteArray("\x00\x08\x05\x37", 4));
        QCOMPARE(got[1].data, QByteArray("\x00\x11", 2));
        QCOMPARE(got[0].sender, QStringLiteral("127.0.0.2"));

        QString error;
        socket.setRemoteHost("not an address");
        QVERIFY(!socket.send("x", &error));
        QVERIFY(error.contains("not an address"));
    }
};

QTEST_GUILESS_MAIN(UdpPlatformTest)
#include "test_udp_platform.moc"
