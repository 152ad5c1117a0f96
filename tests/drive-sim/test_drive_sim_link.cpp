// The in-process twin: the simulated drive behind a TestPlatform's fake serial
// port and UDP socket, as the window's component tests use it.
#include <QtTest>

#include "Bytes.h"
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
    QByteArray heard;
    int longestHold = 0;  // in polls

    void poll() {
        for (char c : tp.serial.read(0)) {
            if (c == kXoff) {
                held = true;
            } else if (c == kXon) {
                held = false;
            } else {
                heard.append(c);
            }
        }
    }
    // False when the drive kept it from sending for a minute of simulated time.
    [[nodiscard]] bool send(const QByteArray& image) {
        const double giveUp = tp.time.now() + 60.0;
        qsizetype i = 0;
        int holding = 0;
        while (i < image.size()) {
            if (tp.time.now() > giveUp) {
                return false;
            }
            poll();
            if (held && obeyXoff) {
                longestHold = std::max(longestHold, ++holding);
                continue;
            }
            holding = 0;
            if (tp.serial.bytesQueuedForOutput() == 0) {
                tp.serial.write(image.mid(i++, 1));
            }
        }
        return true;
    }
    // Lets `seconds` of simulated time pass, listening.
    void listen(double seconds) {
        const double until = tp.time.now() + seconds;
        while (tp.time.now() < until) {
            poll();
        }
    }
};

struct Rig {
    explicit Rig(DriveOptions options = {}) : link(tp, std::move(options)) {
        tp.serial.setOpenResult(1, CommError::None);
        tp.serial.open(1, QStringLiteral("9600,N,8,1"), Handshaking::None);
    }
    TestPlatform tp;
    SimulatedDriveLink link;
    SerialHost host{tp, true, false, {}, 0};
};

}  // namespace

class DriveSimLinkTest : public QObject {
    Q_OBJECT
  private slots:
    void bytesArriveOneCharacterTimeApart_data();
    void bytesArriveOneCharacterTimeApart();
    void aWholeSerialDownloadPacedByXonXoff();
    void aHostIgnoringXoffOverrunsTheBuffer();
    void aHostLeftAt9600GarblesTheImage();
    void aClosedPortHearsNothing();
    void datagramsComeFromTheDriveAddress();
    void datagramsToAnotherAddressGoUnheard();
};

void DriveSimLinkTest::bytesArriveOneCharacterTimeApart_data() {
    QTest::addColumn<int>("bitRate");
    QTest::addColumn<bool>("blank");
    QTest::newRow("power-up packet at 9600") << 9600 << false;
    QTest::newRow("a blank drive's packet at 9600") << 9600 << true;
}

void DriveSimLinkTest::bytesArriveOneCharacterTimeApart() {
    QFETCH(int, bitRate);
    QFETCH(bool, blank);
    DriveOptions options;
    options.blank = blank;
    Rig rig(options);
    const double start = rig.tp.time.now();
    const double perByte = 10.0 / bitRate;
    rig.link.powerUp();
    const int size = blank ? 4 : 3;
    for (int i = 1; i <= size; ++i) {
        rig.tp.time.advanceTo(start + (i - 0.01) * perByte);
        QCOMPARE(rig.tp.serial.bytesWaiting(), i - 1);
        rig.tp.time.advanceTo(start + i * perByte);
        QCOMPARE(rig.tp.serial.bytesWaiting(), i);
    }
    QCOMPARE(rig.tp.serial.lastEvent(), CommEvent::Receive);
    QCOMPARE(rig.tp.serial.read(0).left(1), bytes({blank ? 0xF0 : 0xFF}));
}

void DriveSimLinkTest::aWholeSerialDownloadPacedByXonXoff() {
    const QByteArray image = testImage(12000);
    DriveOptions options;
    options.firmwareFile = firmwareFile(image, "1.06");
    options.rxBufferSize = 256;
    options.xoffLevel = 192;
    options.xonLevel = 64;
    options.drainRate = 4000;
    Rig rig(options);
    rig.link.powerUp();
    rig.host.listen(0.1);
    QCOMPARE(rig.host.heard, bytes({0xFF, 0x05, 55}));
    rig.host.heard.clear();

    rig.tp.serial.write("B5827\r");
    rig.host.listen(0.5);
    QCOMPARE(rig.host.heard, bytes({0xF0, 0x05, 55, 0x05}));
    rig.host.heard.clear();
    QVERIFY(rig.tp.serial.setSettings(QStringLiteral("115200,N,8,1")));
    rig.host.listen(0.2);

    QVERIFY2(rig.host.send(image), qPrintable(rig.link.transcriptText()));
    // Back to 9600 while the last byte is still on its way, as the updater does.
    QVERIFY(rig.tp.serial.bytesQueuedForOutput() > 0);
    QVERIFY(rig.tp.serial.setSettings(QStringLiteral("9600,N,8,1")));
    rig.host.listen(2.0);

    const auto verdict = rig.link.lastVerdict();
    QVERIFY2(verdict && verdict->identical, qPrintable(rig.link.transcriptText()));
    QCOMPARE(verdict->overruns, 0);
    QCOMPARE(verdict->lineErrors, 0);
    QCOMPARE(verdict->hostBitRate, 115200);
    QVERIFY(verdict->xoffsSent > 10);
    QVERIFY(rig.host.longestHold > 0);
    QCOMPARE(rig.host.heard.count('.'), 12000 / 256);
    QCOMPARE(rig.host.heard.right(3), bytes({0xFF, 0x06, 55}));

    rig.host.heard.clear();
    rig.tp.serial.write("PR5\rSA\rSV\r");
    rig.host.listen(0.2);
    QCOMPARE(rig.host.heard, QByteArray("OK\r106D\r"));
}

void DriveSimLinkTest::aHostIgnoringXoffOverrunsTheBuffer() {
    const QByteArray image = testImage(3000);
    DriveOptions options;
    options.firmwareFile = firmwareFile(image);
    options.rxBufferSize = 256;
    options.xoffLevel = 192;
    options.xonLevel = 64;
    options.drainRate = 4000;
    options.bootLoaderVersion = 2;  // stays at 9600: no switch needed
    options.blank = true;
    Rig rig(options);
    rig.host.obeyXoff = false;
    QVERIFY2(rig.host.send(image), qPrintable(rig.link.transcriptText()));
    rig.host.listen(1.5);
    QVERIFY2(rig.link.lastVerdict(), qPrintable(rig.link.transcriptText()));
    // 9600 bit/s is 960 bytes a second against a drain of 4000: never full.
    QVERIFY(rig.link.lastVerdict()->identical);

    // At 115200 bit/s (11520 bytes a second) it fills, and what does not fit is lost.
    options.bootLoaderVersion = 5;
    Rig rushed(options);
    rushed.tp.serial.setSettings(QStringLiteral("115200,N,8,1"));
    rushed.host.obeyXoff = false;
    QVERIFY(rushed.host.send(image));
    rushed.host.listen(1.5);
    const auto verdict = rushed.link.lastVerdict();
    QVERIFY(verdict);
    QVERIFY(!verdict->identical);
    QVERIFY(verdict->overruns > 0);
    QVERIFY(rushed.link.transcriptText().contains(QStringLiteral("receive buffer full")));
}

void DriveSimLinkTest::aHostLeftAt9600GarblesTheImage() {
    const QByteArray image = testImage(500);
    DriveOptions options;
    options.firmwareFile = firmwareFile(image);
    Rig rig(options);
    rig.tp.serial.write("B5827\r");
    rig.host.listen(0.7);
    QVERIFY(rig.host.send(image));  // never switched to 115200
    rig.host.listen(1.5);
    const auto verdict = rig.link.lastVerdict();
    QVERIFY(verdict);
    QVERIFY(!verdict->identical);
    QCOMPARE(verdict->hostBitRate, 9600);
    QCOMPARE(verdict->lineErrors, 500);
}

void DriveSimLinkTest::aClosedPortHearsNothing() {
    Rig rig;
    rig.tp.serial.close();
    rig.link.powerUp();
    rig.tp.time.advanceBy(0.1);
    QVERIFY(rig.tp.serial.open(1, QStringLiteral("9600,N,8,1"), Handshaking::None) ==
            CommError::None);
    QCOMPARE(rig.tp.serial.bytesWaiting(), 0);
    QVERIFY(rig.link.transcriptText().contains(QStringLiteral("power-up packet FF 05 37")));
}

void DriveSimLinkTest::datagramsComeFromTheDriveAddress() {
    TestPlatform tp;
    SimulatedDriveLink link(tp);
    tp.udp.setRemoteHost(link.address());
    tp.udp.setRemotePort(7775);
    QVERIFY(tp.udp.send(bytes({0, 8, 'C', 2}), nullptr));
    tp.time.advanceBy(0.01);
    QVERIFY(tp.udp.hasPendingDatagram());
    const ReceivedDatagram reply = tp.udp.readDatagram();
    QCOMPARE(reply.sender, QStringLiteral("10.10.10.10"));
    QCOMPARE(reply.data, bytes({0, 8, 5, 55}));
    QCOMPARE(link.misaddressedDatagrams(), 0);
}

void DriveSimLinkTest::datagramsToAnotherAddressGoUnheard() {
    TestPlatform tp;
    SimulatedDriveLink link(tp);
    tp.udp.setRemoteHost(QStringLiteral("10.10.10.11"));
    tp.udp.setRemotePort(7775);
    QVERIFY(tp.udp.send(bytes({0, 8, 'C', 2}), nullptr));
    tp.udp.setRemoteHost(link.address());
    tp.udp.setRemotePort(7776);
    QVERIFY(tp.udp.send(bytes({0, 8, 'C', 2}), nullptr));
    tp.time.advanceBy(0.01);
    QVERIFY(!tp.udp.hasPendingDatagram());
    QCOMPARE(link.misaddressedDatagrams(), 2);
    QVERIFY(link.transcript().empty());
}

QTEST_GUILESS_MAIN(DriveSimLinkTest)
#include "test_drive_sim_link.moc"
