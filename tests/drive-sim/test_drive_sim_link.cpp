// The in-process twin: the simulated drive behind a TestPlatform's fake serial
// port and UDP socket, as the window's component tests use it.
#include <QtTest>

#include "EngineBench.h"
#include "SimulatedDriveLink.h"

using namespace kestrel;
using namespace kestrel::drivesim;
using namespace kestrel::testing;

namespace {

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

// A host on the fake port that sends the image the way the updater does: one
// byte whenever the port's output is empty, held while the drive's last word
// was XOFF (unless told to ignore it).
struct SerialHost {
    TestPlatform& tp;
    bool obeyXoff = true;
    bool held = false;
    bool sawXoff = false;
    QByteArray heard = {};

    void poll() {
        for (char c : tp.serial.read(0)) {
            if (c == kXoff || c == kXon) {
                held = c == kXoff;
                sawXoff = sawXoff || held;
            } else {
                heard.append(c);
            }
        }
    }
    // False when the drive kept it from sending for a minute of simulated time.
    [[nodiscard]] bool send(const QByteArray& image) {
        const double giveUp = tp.time.now() + 60.0;
        for (qsizetype i = 0; i < image.size() && tp.time.now() < giveUp;) {
            poll();
            if ((!held || !obeyXoff) && tp.serial.bytesQueuedForOutput() == 0) {
                tp.serial.write(image.mid(i++, 1));
            }
        }
        return tp.time.now() < giveUp;
    }
    // Lets `seconds` of simulated time pass, listening.
    void listen(double seconds) {
        const double until = tp.time.now() + seconds;
        while (tp.time.now() < until) {
            poll();
        }
    }
};

}  // namespace

class DriveSimLinkTest : public QObject {
    Q_OBJECT
  private slots:
    void serialDownload_data() {
        QTest::addColumn<int>("bootLoader");
        QTest::addColumn<int>("hostRate");  // while sending the image
        QTest::addColumn<bool>("obeyXoff");
        QTest::addColumn<bool>("identical");
        QTest::addColumn<int>("lineErrors");
        QTest::newRow("paced by XON/XOFF") << 5 << 115200 << true << true << 0;
        // 9600 bit/s is 960 bytes a second against a drain of 4000: never full.
        QTest::newRow("slow boot loader, XOFF ignored") << 2 << 9600 << false << true << 0;
        QTest::newRow("XOFF ignored: overrun") << 5 << 115200 << false << false << 0;
        QTest::newRow("left at 9600: garbled") << 5 << 9600 << true << false << 3000;
    }

    void serialDownload() {
        QFETCH(int, bootLoader);
        QFETCH(int, hostRate);
        QFETCH(bool, obeyXoff);
        QFETCH(bool, identical);
        QFETCH(int, lineErrors);
        const QByteArray image = testImage(3000);
        DriveOptions options = expecting(image);
        options.bootLoaderVersion = bootLoader;
        options.rxBufferSize = 256;
        options.xoffLevel = 192;
        options.xonLevel = 64;
        options.drainRate = 4000;
        TestPlatform tp;
        SimulatedDriveLink link(tp, options);
        SerialHost host{tp, obeyXoff};
        tp.serial.setOpenResult(1, CommError::None);
        tp.serial.open(1, QStringLiteral("9600,N,8,1"), Handshaking::None);

        link.powerUp();
        tp.serial.write("B5827\r");
        host.listen(0.5);
        QCOMPARE(host.heard, bytes({0xFF, 5, 55, 0xF0, 5, 55, bootLoader}));
        host.heard.clear();
        QVERIFY(tp.serial.setSettings(QStringLiteral("%1,N,8,1").arg(hostRate)));
        host.listen(0.2);
        QVERIFY2(host.send(image), qPrintable(link.transcriptText()));
        // Back to 9600 while the last byte is still on its way, as the updater does.
        QVERIFY(tp.serial.bytesQueuedForOutput() > 0);
        QVERIFY(tp.serial.setSettings(QStringLiteral("9600,N,8,1")));
        host.listen(2.0);

        const auto verdict = link.lastVerdict();
        QVERIFY2(verdict, qPrintable(link.transcriptText()));
        QCOMPARE(verdict->identical, identical);
        QCOMPARE(verdict->overruns > 0, !obeyXoff && hostRate == 115200);
        QCOMPARE(verdict->lineErrors, lineErrors);
        QCOMPARE(verdict->hostBitRate, hostRate);
        QCOMPARE(host.sawXoff, hostRate == 115200);  // at 9600 the buffer never fills
        QCOMPARE(host.heard.right(identical ? 3 : 4),
                 identical ? bytes({0xFF, 6, 55}) : bytes({0xF0, 0xFF, 55, 5}));
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
