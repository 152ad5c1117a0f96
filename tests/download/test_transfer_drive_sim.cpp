// The transfer on the real stack: a multi-block image through QtSerialPort on
// kestrel-drive-sim's pseudo-terminal, and through QtUdpSocket on loopback,
// each judged byte for byte by the simulator in its own process.
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include "../drive-sim/EngineBench.h"
#include "Doubles.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtUdpSocket.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// kestrel-drive-sim expecting `image`; its pty path and UDP port come from
// its first two lines, its verdict from its output when it exits.
class SimProcess {
  public:
    ~SimProcess() {
        process.kill();
        process.waitForFinished(3000);
    }
    bool start(const QByteArray& image, const QStringList& arguments) {
        QFile file(dir.filePath(QStringLiteral("drive.E")));
        if (!file.open(QIODevice::WriteOnly) || file.write(firmwareFile(image)) < 0) {
            return false;
        }
        file.close();
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(
            QStringLiteral(KESTREL_DRIVE_SIM_PATH),
            QStringList{QStringLiteral("--firmware"), file.fileName(), QStringLiteral("--port"),
                        QStringLiteral("0"), QStringLiteral("--no-power-up"),
                        QStringLiteral("--exit-after-verdict"), QStringLiteral("--linger"),
                        QStringLiteral("0")} +
                arguments);
        const QRegularExpression re(QStringLiteral("(/dev/\\S+)\nudp 127\\.0\\.0\\.1:(\\d+)\n"));
        QRegularExpressionMatch m;
        while (!m.hasMatch() && process.waitForReadyRead(5000)) {
            output += process.readAll();
            m = re.match(QString::fromLocal8Bit(output));
        }
        ptyPath = m.captured(1);
        udpPort = static_cast<quint16>(m.captured(2).toUInt());
        return m.hasMatch();
    }
    // The exit code once the simulator has judged the image and ended.
    int finish() {
        process.waitForFinished(15000);
        output += process.readAll();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    const char* report() const { return output.constData(); }

    QTemporaryDir dir;
    QProcess process;
    QByteArray output;
    QString ptyPath;
    quint16 udpPort = 0;
};

// Whether `port` could be bound within `ms` milliseconds: another engineer's
// test run may hold the updater's fixed port for a while.
bool portFreeWithin(quint16 port, int ms) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QUdpSocket probe;
        if (probe.bind(QHostAddress::AnyIPv4, port)) {
            return true;
        }
        if (waited.elapsed() > ms) {
            return false;
        }
        QTest::qWait(200);
    }
}

// The real clock and event loop, with whichever real link the test uses and a
// double for the other.
struct RealStack {
    RealStack(SerialPort& serialPort, UdpSocket& udpSocket)
        : platform{clock, pump, serialPort, udpSocket, fileDialog, settings} {}
    int sendImage(const QByteArray& image, int blockSize) {
        for (qsizetype at = 0; at < image.size(); at += blockSize) {
            ++session.downloadState().BlockCount;
            const QByteArray block = image.mid(at, blockSize);
            const int result = session.dataBlockTransfer().SendDataBlock(
                block, static_cast<int>(block.size()) - 1);
            if (result != 0) {
                return result;
            }
        }
        return 0;
    }

    QtClock clock;
    QtEventPump pump{clock};
    MemorySettingsStore settings;
    ScriptedFileDialog fileDialog;
    Platform platform;
    RecordingObserver seen;
    Session session{platform, seen};
};

}  // namespace

class TransferDriveSimTest : public QObject {
    Q_OBJECT
  private slots:
    void serialImageThroughThePty();
    void ethernetImageOverLoopback();
};

void TransferDriveSimTest::serialImageThroughThePty() {
    const QByteArray image = testImage(17000);
    SimProcess sim;
    // A pty has no wire to slow the host down: it writes several times
    // faster than 115200 bit/s until the drive says XOFF, so the drive gets
    // 8 KiB of room above its XOFF level for being scheduled late. Draining
    // to its XON level then takes 0.77 s, which its end-of-image silence
    // must outlast.
    QVERIFY2(sim.start(image, {"--quiet-time", "2", "--rx-buffer", "16384"}), sim.report());

    MemorySettingsStore portMap;
    portMap.write(AppInfo::settingsApplication(), QStringLiteral("Ports"), QStringLiteral("COM1"),
                  sim.ptyPath);
    QtSerialPort serial(portMap);
    SimTime unusedTime;
    FakeUdpSocket udp(unusedTime);
    RealStack stack(serial, udp);
    stack.session.Form_Load();
    QVERIFY2(serial.isOpen(), qPrintable(stack.seen.texts().join('|')));

    serial.write("B5827\r");
    QTRY_COMPARE_WITH_TIMEOUT(stack.session.serialState().BootLoaderVersion, 5, 5000);
    QVERIFY(serial.setSettings(QStringLiteral("115200,N,8,1")));
    stack.session.Delay(300);  // the drive reads the new bit rate off the pty
    stack.session.downloadState().Downloading = true;
    stack.seen.status.clear();
    const int result = stack.sendImage(image, 256);
    if (result != 0) {
        sim.process.terminate();
        sim.finish();
    }
    QVERIFY2(result == 0, sim.report());
    QVERIFY(serial.setSettings(QStringLiteral("9600,N,8,1")));

    QCOMPARE(sim.finish(), 0);
    QVERIFY2(sim.output.contains("verdict identical=yes link=serial bytes=17000 expected=17000 "),
             sim.report());
    QVERIFY2(sim.output.contains(" overruns=0 line-errors=0 ") && !sim.output.contains(" xoffs=0 "),
             sim.report());
    QVERIFY(stack.seen.shown.empty());
    QCOMPARE(stack.seen.status, QString());  // the drive's "." and XON/XOFF only
    stack.session.Form_Unload();
}

void TransferDriveSimTest::ethernetImageOverLoopback() {
    const QByteArray image = testImage(16400);
    SimProcess sim;
    QVERIFY2(sim.start(image, {"--quiet-time", "0.5"}), sim.report());

    if (!portFreeWithin(Session::LocalUdpPort, 30000)) {
        QSKIP(
            "UDP port 7777 stayed in use by another process for 30 s; run this test alone "
            "(ctest holds RESOURCE_LOCK udp7777 only among its own tests)");
    }
    QtUdpSocket udp;
    SimTime unusedTime;
    FakeSerialPort serial(unusedTime);
    serial.setOpenResult(1, 0);
    RealStack stack(serial, udp);
    stack.session.Form_Load();
    QVERIFY2(stack.seen.shown.empty(), qPrintable(stack.seen.texts().join('|')));
    udp.setRemotePort(sim.udpPort);
    stack.session.editAddress(QStringLiteral("127.0.0.1"));
    stack.session.driveAddress().selectEthernet();

    QVERIFY(stack.session.identifyOverEthernet());
    QCOMPARE(stack.seen.drive.revision, QStringLiteral("1.05 D"));
    QCOMPARE(stack.seen.drive.model, QStringLiteral("KX-M1"));
    QCOMPARE(stack.session.driveState().DriveModelCode, 55);

    stack.session.udpChannel().UDP_DCLcommand("B5827", 0);
    stack.session.downloadState().DataPacketsSent = 0;
    stack.session.dataBlockTransfer().SendStartPacket();
    stack.seen.status.clear();
    QCOMPARE(stack.sendImage(image, 200), 0);
    QCOMPARE(stack.session.downloadState().DataPacketsSent, 82);

    QCOMPARE(sim.finish(), 0);
    QVERIFY2(sim.output.contains("verdict identical=yes link=udp bytes=16400 expected=16400 "),
             sim.report());
    QCOMPARE(stack.seen.status, QString());
    stack.session.Form_Unload();
}

QTEST_GUILESS_MAIN(TransferDriveSimTest)
#include "test_transfer_drive_sim.moc"
