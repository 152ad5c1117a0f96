// kestrel-drive-sim: its command line, its own reading of a firmware file, and
// the program as a process that a small client talks to over the
// pseudo-terminal it creates and over loopback UDP.
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QUdpSocket>
#include <QtTest>

#include "CommandLine.h"
#include "EngineBench.h"
#include "FirmwareFile.h"

using namespace kestrel::drivesim;
using namespace kestrel::testing;

namespace {

// Up to `count` bytes that arrive within `ms` milliseconds.
QByteArray read(QSerialPort& port, int count, int ms = 3000) {
    QDeadlineTimer deadline(ms);
    while (port.bytesAvailable() < count && port.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    return port.read(count);
}

// The simulator process, expecting `image`: its pty path and UDP port come
// from its first lines; its standard error is kept with its output. QProcess
// kills it at the end.
struct SimProcess {
    bool start(const QByteArray& image, const QStringList& arguments) {
        QFile file(dir.filePath(QStringLiteral("drive.E")));
        if (!file.open(QIODevice::WriteOnly) || file.write(firmwareFile(image)) < 0) {
            return false;
        }
        file.close();
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(KESTREL_DRIVE_SIM_PATH,
                      QStringList{"--firmware", file.fileName()} + arguments);
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
    // The exit code, once the program has ended of itself or on `signal`.
    int finish(bool terminate = false) {
        if (terminate) {
            process.terminate();
        }
        process.waitForFinished(10000);
        output += process.readAll();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QTemporaryDir dir;
    QProcess process;
    QByteArray output;
    QString ptyPath;
    quint16 udpPort = 0;
};

}  // namespace

class DriveSimProgramTest : public QObject {
    Q_OBJECT
  private slots:
    void readsTheFirmwareFile_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("revision");  // the drive's afterwards; -1: does not fit a byte
        QTest::addColumn<QString>("error");
        auto row = [](const char* name, QByteArray file, QByteArray image, int revision,
                      const char* error) {
            QTest::newRow(name) << file << image << revision << QString(error);
        };
        row("CR LF", "1.05\r\n57\r\nxyzIMAGE", "IMAGE", 5, "");
        row("quoted, blanks, comma", "  \"1.05\" , 57 \r\nxyz\r\nIMAGE", "\r\nIMAGE", 5, "");
        row("image starting with CR LF", "1.05\r\n57\r\n\r\n\x01\r\n", "\r\n", 5, "");
        row("empty image, highest revision", "3.55\r\n57\r\nxyz", "", 255, "");
        row("revision beyond a byte", "3.56\r\n57\r\nxyzI", "I", -1, "");
        row("unclosed quote", "\"1.05\r\n57\r\nxyz", "", 0, "no revision field");
        row("no filler bytes", "1.05\r\n57\r\nxy", "", 0, "ends inside the three bytes");
    }

    void readsTheFirmwareFile() {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, image);
        QFETCH(int, revision);
        QFETCH(QString, error);
        QString why;
        const auto parsed = parseFirmwareFile(file, &why);
        QVERIFY2(bool(parsed) == error.isEmpty() && why.contains(error), qPrintable(why));
        QCOMPARE(parsed ? parsed->image : QByteArray(), image);
        QCOMPARE(parsed ? parsed->driveRevision().value_or(-1) : 0, revision);
    }

    void parsesTheCommandLine() {
        const CommandLine c = parseCommandLine(
            QStringLiteral("sim --rx-buffer 400 --packet-insert 0a --no-sa-reply --port 65535 "
                           "--build-number 0x80000001 --mac 00-11-0A-FF-2B-03 --line-rate 57600 "
                           "--reply-latency 0")
                .split(' '));
        QVERIFY2(c.options, qPrintable(c.error));
        const DriveOptions& d = c.options->drive;
        QCOMPARE(d.xoffLevel, 200);  // the levels follow the buffer
        QCOMPARE(d.xonLevel, 50);
        QCOMPARE(d.packetInsert, QByteArray("\n"));
        QVERIFY(!d.replyToSA && d.replyToSV);
        QCOMPARE(d.udpPort, 65535);
        QCOMPARE(d.buildNumber, 0x80000001u);
        QCOMPARE(d.mac, (std::array<quint8, 6>{0x00, 0x11, 0x0A, 0xFF, 0x2B, 0x03}));
        QCOMPARE(d.lineRate, 57600);
        QCOMPARE(d.replyLatency, 0.0);
    }

    void refusesBadArguments_data() {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("why");
        for (const auto& [arguments, why] :
             std::initializer_list<std::pair<const char*, const char*>>{
                 {"--revision five", "--revision: expected a whole number from 0 to 255"},
                 {"--port 65536", "--port: expected a whole number from 0 to 65535"},
                 {"--drop-data 1.5", "--drop-data: expected a number from 0 to 1"},
                 {"--line-rate -1", "--line-rate: expected a whole number from 0 to"},
                 {"--packet-insert zz", "--packet-insert"},
                 {"--mac 00-11-22", "--mac"},
                 {"--xon-level 1024", "XON level < XOFF level"},
                 {"extra", "unexpected argument \"extra\""},
                 {"--firmware /nonexistent/drive.E", "cannot read"},
                 {"--firmware /dev/null", "not usable"}}) {
            QTest::newRow(arguments) << QString(arguments) << QString(why);
        }
    }

    void refusesBadArguments() {
        QFETCH(QString, arguments);
        QFETCH(QString, why);
        const CommandLine c = parseCommandLine(("sim " + arguments).split(' '));
        QVERIFY(!c.options);
        QVERIFY2(c.error.contains(why), qPrintable(c.error));
    }

    void serialDownloadOverThePty() {
        const QByteArray image = testImage(4000);
        SimProcess sim;
        QVERIFY2(sim.start(image, {"--port", "0", "--line-rate", "115200", "--rx-buffer", "8192"}),
                 sim.output.constData());
        QSerialPort port(sim.ptyPath);
        QVERIFY(port.open(QIODevice::ReadWrite) && port.setBaudRate(9600));
        QCOMPARE(read(port, 3), bytes({0xFF, 5, 55}));
        // Once the drive has seen the host's new rate, a command at it is lost.
        QVERIFY(port.setBaudRate(115200));
        QCOMPARE(read(port, 1, 300), QByteArray());
        port.write("SV\r");
        QCOMPARE(read(port, 1, 300), QByteArray());
        // The updater closes and reopens its port often; the drive stays.
        port.close();
        QVERIFY(port.open(QIODevice::ReadWrite) && port.setBaudRate(9600));
        port.write("QT\rB5827\r");
        QCOMPARE(read(port, 4), bytes({0xF0, 5, 55, 5}));
        QVERIFY(port.setBaudRate(115200));
        QCOMPARE(read(port, 1, 300), QByteArray());
        // All at once into the pty: the emulated line spaces it, the buffer
        // holds what the drain has not taken yet.
        port.write(image);
        QVERIFY(port.waitForBytesWritten(1000));
        QCOMPARE(read(port, 4000 / 256, 5000), QByteArray(4000 / 256, '.'));
        // Then the restarted drive's packet with its new revision; it answers at 9600.
        QVERIFY(port.setBaudRate(9600));
        QCOMPARE(read(port, 3), bytes({0xFF, 6, 55}));
        port.write("SA\rSV\r");
        QCOMPARE(read(port, 8), QByteArray("OK\r106D\r"));
        QCOMPARE(sim.finish(true), 0);  // SIGTERM ends the run with its report
        QVERIFY2(sim.output.contains("verdict identical=yes link=serial bytes=4000 expected=4000 "
                                     "first-difference=-1 host-bit-rate=115200 xoffs=0 "
                                     "overruns=0 line-errors=0 after-xoff=0 ") &&
                     sim.output.contains("result: identical\n"),
                 sim.output.constData());
    }

    void ethernetDownloadOverLoopback() {
        const QByteArray image = testImage(2100);
        SimProcess sim;
        QVERIFY2(sim.start(image, {"--port", "0", "--no-power-up", "--udp-dot-every", "0",
                                   "--exit-after-verdict", "--linger", "0", "--quiet-time", "0.3"}),
                 sim.output.constData());
        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress::LocalHost, 0));
        auto ask = [&](const QByteArray& datagram) {
            client.writeDatagram(datagram, QHostAddress::LocalHost, sim.udpPort);
            const bool ready = client.hasPendingDatagrams() || client.waitForReadyRead(2000);
            return ready ? client.receiveDatagram().data() : QByteArray();
        };
        QCOMPARE(ask(bytes({0, 8, 'C', 2})), bytes({0, 8, 5, 55}));
        client.writeDatagram(datagram(8, bytes({'B', 0, '5', '8', '2', '7'})),
                             QHostAddress::LocalHost, sim.udpPort);
        // One changed byte: the program must say so and exit 1.
        QByteArray sent = image;
        sent[350] = static_cast<char>(sent[350] ^ 0x10);
        for (qsizetype i = 0; i < sent.size(); i += 200) {
            QCOMPARE(ask(datagram(17, sent.mid(i, 200))), datagram(17));
        }
        QCOMPARE(ask(datagram(16)), bytes({0, 16, 0, 11}));
        QCOMPARE(sim.finish(), 1);
        QVERIFY2(sim.output.contains("verdict identical=no link=udp bytes=2100 expected=2100 "
                                     "first-difference=350 ") &&
                     sim.output.contains("result: not identical\n"),
                 sim.output.constData());
    }

    void badArgumentsEndTheProgramWithCode2() {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(KESTREL_DRIVE_SIM_PATH, {"--frobnicate"});
        QVERIFY(process.waitForFinished(5000) && process.exitCode() == 2);
        QVERIFY(process.readAll().contains("'frobnicate'.\nTry --help."));
    }
};

QTEST_GUILESS_MAIN(DriveSimProgramTest)
#include "test_drive_sim_program.moc"
