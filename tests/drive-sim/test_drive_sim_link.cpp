// The in-process twin: the simulated drive behind a TestPlatform's fake serial
// port and UDP socket, as the component tests use it.
#include <QtTest>

#include "EngineBench.h"
#include "SimulatedDriveLink.h"

using namespace kestrel;
using namespace kestrel::testing;

class DriveSimLinkTest : public QObject {
    Q_OBJECT
  private slots:
    void serialBytesKeepTheRateTheyWereWrittenAt_data() {
        QTest::addColumn<int>("hostRate");
        QTest::addColumn<QByteArray>("restart");
        QTest::newRow("115200: identical") << 115200 << bytes({0xFF, 6, 55});
        QTest::newRow("left at 9600: garbled") << 9600 << bytes({0xF0, 0xFF, 55, 5});
    }

    void serialBytesKeepTheRateTheyWereWrittenAt() {
        QFETCH(int, hostRate);
        QFETCH(QByteArray, restart);
        const QByteArray image = testImage(100);
        TestPlatform tp;
        tp.serial.setOpenResult(1, CommError::None);
        tp.serial.open(1, QStringLiteral("9600,N,8,1"), Handshaking::None);
        SimulatedDriveLink link(tp, expecting(image));
        QByteArray heard;
        auto listen = [&](double seconds) {
            for (const double until = tp.time.now() + seconds; tp.time.now() < until;) {
                heard += tp.serial.read(0);
            }
        };
        link.powerUp();
        tp.serial.write("B5827\r");
        listen(0.5);
        QCOMPARE(heard, bytes({0xFF, 5, 55, 0xF0, 5, 55, 5}));
        QVERIFY(tp.serial.setSettings(QStringLiteral("%1,N,8,1").arg(hostRate)));
        listen(0.2);
        tp.serial.write(image);
        // Back to 9600 with the image still queued, as the updater does.
        QVERIFY(tp.serial.setSettings(QStringLiteral("9600,N,8,1")));
        listen(2.0);
        const auto verdict = link.lastVerdict();
        QVERIFY2(verdict, qPrintable(link.transcriptText()));
        QCOMPARE(verdict->lineErrors, hostRate == 115200 ? 0 : 100);
        QVERIFY(heard.endsWith(restart));
    }

    void datagramsReachOnlyTheDriveAddress() {
        TestPlatform tp;
        SimulatedDriveLink link(tp);
        for (const auto& [host, port] : {std::pair{QStringLiteral("10.10.10.11"), quint16(7775)},
                                         {link.address(), 7776},
                                         {link.address(), 7775}}) {
            tp.udp.setRemoteHost(host);
            tp.udp.setRemotePort(port);
            QVERIFY(tp.udp.send(bytes({0, 8, 'C', 2}), nullptr));
        }
        tp.time.advanceBy(0.01);
        QCOMPARE(link.misaddressedDatagrams(), 2);
        const ReceivedDatagram reply = tp.udp.readDatagram();
        QCOMPARE(reply.sender, QStringLiteral("10.10.10.10"));
        QCOMPARE(reply.data, bytes({0, 8, 5, 55}));
        QVERIFY(!tp.udp.hasPendingDatagram());
    }
};

QTEST_GUILESS_MAIN(DriveSimLinkTest)
#include "test_drive_sim_link.moc"
