// kestrel-drive-sim: its command line, its own reading of a firmware file, and
// the program as a process that a small client talks to over the
// pseudo-terminal it creates and over loopback UDP.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QUdpSocket>
#include <QtTest>

#include "CommandLine.h"
#include "EngineBench.h"
#include "FirmwareFile.h"

using namespace kestrel::drivesim;
using namespace kestrel::testing;

namespace {

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

// The pty's slave side opened the way a serial port is: raw, at a bit rate.
struct HostPort {
    int fd = -1;
    ~HostPort() { ::close(fd); }
    bool open(const QString& path) {
        ::close(fd);
        fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 && setSpeed(B9600);
    }
    bool setSpeed(speed_t speed) {
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, speed);
        return ::tcsetattr(fd, TCSANOW, &t) == 0;
    }
    bool write(const QByteArray& data) {
        return ::write(fd, data.constData(), static_cast<size_t>(data.size())) == data.size();
    }
    // Collects bytes until `count` have arrived or `ms` milliseconds passed.
    QByteArray read(int count, int ms = 3000) {
        QByteArray out;
        QDeadlineTimer deadline(ms);
        pollfd p{fd, POLLIN, 0};
        char buffer[512];
        while (out.size() < count && ::poll(&p, 1, int(deadline.remainingTime())) > 0) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            out += QByteArray(buffer, static_cast<qsizetype>(std::max<ssize_t>(n, 0)));
        }
        return out;
    }
};

// The simulator process: its pty path and UDP port come from its first lines;
// its standard error is kept with its output for the failure report.
class SimProcess {
  public:
    ~SimProcess() {
        process.kill();
        process.waitForFinished(3000);
    }
    // Starts it expecting `image` (in a firmware file of revision 1.06).
    bool start(const QByteArray& image, const QStringList& arguments) {
        QFile file(dir.filePath(QStringLiteral("drive.E")));
        if (!file.open(QIODevice::WriteOnly) || file.write(firmwareFile(image)) < 0) {
            return false;
        }
        file.close();
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(KESTREL_DRIVE_SIM_PATH),
                      QStringList{QStringLiteral("--firmware"), file.fileName()} + arguments);
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
    int finish() {
        process.waitForFinished(10000);
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

}  // namespace

class DriveSimProgramTest : public QObject {
    Q_OBJECT
  private slots:
    void readsTheFirmwareFile_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("revision");  // the drive's afterwards; -1: does not fit a byte
        QTest::addColumn<QString>("error");
        QTest::newRow("CR LF") << QByteArray("1.05\r\n57\r\nxyzIMAGE") << QByteArray("IMAGE") << 5
                               << QString();
        QTest::newRow("quoted, with blanks and a comma")
            << QByteArray("  \"1.05\" , 57 \r\nxyz\r\nIMAGE") << QByteArray("\r\nIMAGE") << 5
            << QString();
        QTest::newRow("image starting with CR LF")
            << QByteArray("1.05\r\n57\r\n\r\n\x01\r\n") << QByteArray("\r\n") << 5 << QString();
        QTest::newRow("revision beyond a byte")
            << QByteArray("3.56\r\n57\r\nxyzI") << QByteArray("I") << -1 << QString();
        QTest::newRow("unclosed quote")
            << QByteArray("\"1.05\r\n57\r\nxyz") << QByteArray() << 0 << "no revision field";
        QTest::newRow("no filler bytes")
            << QByteArray("1.05\r\n57\r\nxy") << QByteArray() << 0 << "ends inside the three bytes";
    }

    void readsTheFirmwareFile() {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, image);
        QFETCH(int, revision);
        QFETCH(QString, error);
        QString why;
        const auto parsed = parseFirmwareFile(file, &why);
        QVERIFY2(bool(parsed) == error.isEmpty() && why.contains(error), qPrintable(why));
        if (parsed) {
            QCOMPARE(parsed->image, image);
            QCOMPARE(parsed->driveRevision().value_or(-1), revision);
        }
    }

    void parsesTheCommandLine() {
        const CommandLine c = parseCommandLine(
            QStringLiteral("kestrel-drive-sim --rx-buffer 400 --packet-insert 0a --no-sa-reply "
                           "--build-number 0x80000001 --mac 00-11-0A-FF-2B-03")
                .split(QLatin1Char(' ')));
        QVERIFY2(c.options, qPrintable(c.error));
        const DriveOptions& d = c.options->drive;
        QCOMPARE(d.xoffLevel, 200);  // the levels follow the buffer
        QCOMPARE(d.xonLevel, 50);
        QCOMPARE(d.packetInsert, QByteArray("\n"));
        QVERIFY(!d.replyToSA && d.replyToSV);
        QCOMPARE(d.buildNumber, 0x80000001u);
        QCOMPARE(d.mac, (std::array<quint8, 6>{0x00, 0x11, 0x0A, 0xFF, 0x2B, 0x03}));
    }

    void refusesBadArguments_data() {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("why");
        const std::pair<const char*, const char*> rows[] = {
            {"--revision five", "--revision: expected a whole number from 0 to 255"},
            {"--drop-data 1.5", "--drop-data: expected a number from 0 to 1"},
            {"--packet-insert zz", "--packet-insert"},
            {"--mac 00-11-22", "--mac"},
            {"--xon-level 2000", "XON level"},
            {"extra", "unexpected argument \"extra\""},
            {"--firmware /nonexistent/drive.E", "cannot read"},
            {"--firmware /dev/null", "not usable"},
        };
        for (const auto& [arguments, why] : rows) {
            QTest::newRow(arguments) << QString::fromLatin1(arguments) << QString::fromLatin1(why);
        }
    }

    void refusesBadArguments() {
        QFETCH(QString, arguments);
        QFETCH(QString, why);
        const CommandLine c = parseCommandLine(("kestrel-drive-sim " + arguments).split(' '));
        QVERIFY(!c.options);
        QVERIFY2(c.error.contains(why), qPrintable(c.error));
    }

    void serialDownloadOverThePty() {
        const QByteArray image = testImage(4000);
        SimProcess sim;
        QVERIFY2(sim.start(image, {"--port", "0", "--drain-rate", "2000"}), sim.report());
        HostPort port;
        QVERIFY(port.open(sim.ptyPath));
        QCOMPARE(port.read(3), bytes({0xFF, 5, 55}));
        // The updater closes and reopens its port often; the drive stays.
        QVERIFY(port.open(sim.ptyPath));
        QVERIFY(port.write("QT\rB5827\r"));
        QCOMPARE(port.read(4), bytes({0xF0, 5, 55, 5}));
        QVERIFY(port.setSpeed(B115200));
        QCOMPARE(port.read(1, 300), QByteArray());  // and let the drive see the new rate

        // Chunks faster than the drive drains them, held on XOFF: no overrun shows
        // that the pacing reached the host.
        bool held = false;
        QByteArray text;
        for (qsizetype i = 0; i < image.size();) {
            for (char c : port.read(1, held ? 100 : 1)) {
                if (c == kXoff || c == kXon) {
                    held = c == kXoff;
                } else {
                    text.append(c);
                }
            }
            if (!held) {
                QVERIFY(port.write(image.mid(i, 16)));
                i += 16;
            }
        }
        QVERIFY(port.setSpeed(B9600));

        // The rest of the "." and the restarted drive's packet with its new revision;
        // it answers at 9600.
        const QByteArray dots(4000 / 256, '.');
        QCOMPARE(text + port.read(int(dots.size() - text.size()) + 3), dots + bytes({0xFF, 6, 55}));
        QVERIFY(port.write("PR5\rSA\rSV\r"));
        QCOMPARE(port.read(8), QByteArray("OK\r106D\r"));

        sim.process.terminate();  // SIGTERM ends the run with its report
        QCOMPARE(sim.finish(), 0);
        QVERIFY2(sim.output.contains("verdict identical=yes link=serial bytes=4000 expected=4000 "
                                     "first-difference=-1 host-bit-rate=115200 xoffs=") &&
                     sim.output.contains(" overruns=0 line-errors=0 ") &&
                     sim.output.contains("result: identical\n"),
                 sim.report());
    }

    void ethernetDownloadOverLoopback() {
        const QByteArray image = testImage(2100);
        SimProcess sim;
        QVERIFY2(sim.start(image, {"--port", "0", "--no-power-up", "--udp-dot-every", "0",
                                   "--exit-after-verdict", "--linger", "0", "--quiet-time", "0.3"}),
                 sim.report());
        QUdpSocket client;
        QVERIFY(client.bind(QHostAddress::LocalHost, 0));
        auto ask = [&](const QByteArray& datagram) {
            client.writeDatagram(datagram, QHostAddress::LocalHost, sim.udpPort);
            const bool ready = client.hasPendingDatagrams() || client.waitForReadyRead(2000);
            return ready ? client.receiveDatagram().data() : QByteArray();
        };
        QCOMPARE(ask(bytes({0, 8, 'C', 2})), bytes({0, 8, 5, 55}));
        client.writeDatagram(bytes({0, 8, 'B', 0, '5', '8', '2', '7'}), QHostAddress::LocalHost,
                             sim.udpPort);
        // One changed byte: the program must say so and exit 1.
        QByteArray sent = image;
        sent[350] = static_cast<char>(sent[350] ^ 0x10);
        for (qsizetype i = 0; i < sent.size(); i += 200) {
            QCOMPARE(ask(datagram(17, sent.mid(i, 200))), datagram(17));
        }
        QCOMPARE(ask(datagram(16)), bytes({0, 16, 0, 11}));
        QCOMPARE(sim.finish(), 1);
        QVERIFY2(sim.output.contains("verdict identical=no link=udp bytes=2100 expected=2100 "
                                     "first-difference=350 "),
                 sim.report());
        QVERIFY2(sim.output.contains("result: not identical\n"), sim.report());
    }

    void helpAndBadArguments() {
        auto run = [](const QString& argument) {
            QProcess process;
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.start(QStringLiteral(KESTREL_DRIVE_SIM_PATH), {argument});
            process.waitForFinished(5000);
            return std::pair{process.exitCode(), process.readAll()};
        };
        const auto [helpCode, help] = run(QStringLiteral("--help"));
        QCOMPARE(helpCode, 0);
        for (const char* option : {"--firmware", "--port", "--drop-data", "--exit-after-verdict",
                                   "--packet-insert", "--udp-error-at", "--no-sv-reply"}) {
            QVERIFY2(help.contains(option), option);
        }
        const auto [badCode, bad] = run(QStringLiteral("--frobnicate"));
        QCOMPARE(badCode, 2);
        QVERIFY2(bad.contains("frobnicate") && bad.contains("Try --help."), bad.constData());
    }
};

QTEST_GUILESS_MAIN(DriveSimProgramTest)
#include "test_drive_sim_program.moc"
