// kestrel-drive-sim as a process: a small client talks to it over the
// pseudo-terminal it creates and over loopback UDP, and checks what it prints
// and how it exits.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <QNetworkDatagram>
#include <QProcess>
#include <QScopeGuard>
#include <QUdpSocket>
#include <QtTest>

#include "Bytes.h"
#include "EngineBench.h"

using namespace kestrel::testing;

namespace {

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;

// The pty's slave side opened the way a serial port is: raw, at a bit rate.
class HostPort {
  public:
    ~HostPort() { close(); }
    bool open(const QString& path, speed_t speed) {
        fd_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) {
            return false;
        }
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd_, TCSANOW, &t);
        return setSpeed(speed);
    }
    bool setSpeed(speed_t speed) {
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        return ::tcsetattr(fd_, TCSANOW, &t) == 0;
    }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    bool write(const QByteArray& data) {
        return ::write(fd_, data.constData(), static_cast<size_t>(data.size())) == data.size();
    }
    // What arrives within `ms` milliseconds (returns as soon as something does).
    QByteArray readSome(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) {
            return {};
        }
        char buffer[512];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        return n > 0 ? QByteArray(buffer, static_cast<qsizetype>(n)) : QByteArray();
    }
    // Collects bytes until `count` have arrived or `ms` milliseconds passed.
    QByteArray read(int count, int ms = 3000) {
        QByteArray out;
        QDeadlineTimer deadline(ms);
        while (out.size() < count && !deadline.hasExpired()) {
            out += readSome(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        }
        return out;
    }

  private:
    int fd_ = -1;
};

// The simulator process: its pty path and UDP port come from its first lines.
class SimProcess {
  public:
    void stop() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
    bool start(const QStringList& arguments) {
        process.start(QStringLiteral(KESTREL_DRIVE_SIM_PATH), arguments);
        if (!process.waitForStarted(5000) || !waitFor("\nudp ", 5000) ||
            !waitFor("\n", 5000, output.indexOf("\nudp ") + 1)) {
            return false;
        }
        const QList<QByteArray> lines = output.split('\n');
        ptyPath = QString::fromLocal8Bit(lines.value(0));
        udpPort =
            static_cast<quint16>(lines.value(1).mid(lines.value(1).lastIndexOf(':') + 1).toUInt());
        return ptyPath.startsWith(QLatin1String("/dev/")) && udpPort != 0;
    }
    // Waits until standard output holds `text` (after `from`).
    bool waitFor(const QByteArray& text, int ms, qsizetype from = 0) {
        QDeadlineTimer deadline(ms);
        while (output.indexOf(text, from) < 0) {
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning) {
                output += process.readAllStandardOutput();
                return output.indexOf(text, from) >= 0;
            }
            process.waitForReadyRead(50);
            output += process.readAllStandardOutput();
        }
        return true;
    }
    int finish(int ms = 10000) {
        process.waitForFinished(ms);
        output += process.readAllStandardOutput();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QString report() {
        errors += process.readAllStandardError();
        return QString::fromLocal8Bit(output) + QStringLiteral("\n--- stderr ---\n") +
               QString::fromLocal8Bit(errors);
    }

    QProcess process;
    QByteArray output;
    QByteArray errors;
    QString ptyPath;
    quint16 udpPort = 0;
};

// A UDP client on loopback that waits for each answer.
class UdpClient {
  public:
    bool open() { return socket.bind(QHostAddress::LocalHost, 0); }
    QByteArray ask(const QByteArray& datagram, quint16 port, int ms = 2000) {
        socket.writeDatagram(datagram, QHostAddress::LocalHost, port);
        return next(ms);
    }
    QByteArray next(int ms = 2000) {
        if (!socket.hasPendingDatagrams() && !socket.waitForReadyRead(ms)) {
            return {};
        }
        return socket.receiveDatagram().data();
    }
    QUdpSocket socket;
};

QString writeFirmware(const QTemporaryDir& dir, const QByteArray& image) {
    const QString path = dir.filePath(QStringLiteral("drive.E"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(firmwareFile(image, "1.06")) < 0) {
        return {};
    }
    return path;
}

}  // namespace

class DriveSimProgramTest : public QObject {
    Q_OBJECT
  private slots:
    void serialDownloadOverThePty();
    void ethernetDownloadOverLoopback();
    void aWrongImageEndsWithExitCode1();
    void helpAndBadArguments();
};

void DriveSimProgramTest::serialDownloadOverThePty() {
    QTemporaryDir dir;
    const QByteArray image = testImage(4000);
    const QString firmware = writeFirmware(dir, image);
    QVERIFY(!firmware.isEmpty());
    SimProcess sim;
    QVERIFY2(sim.start({"--firmware", firmware, "--port", "0", "--drain-rate", "2000"}),
             qPrintable(sim.report()));
    auto stop = qScopeGuard([&] { sim.stop(); });

    HostPort port;
    QVERIFY(port.open(sim.ptyPath, B9600));
    QCOMPARE(port.read(3), bytes({0xFF, 0x05, 55}));
    // The updater closes and reopens its port often; the drive stays.
    port.close();
    QVERIFY(port.open(sim.ptyPath, B9600));
    QVERIFY(port.write("QT\rB5827\r"));
    QCOMPARE(port.read(4), bytes({0xF0, 0x05, 55, 0x05}));
    QVERIFY(port.setSpeed(B115200));
    QCOMPARE(port.read(1, 300), QByteArray());  // and let the drive see the new rate

    // Chunks at roughly the pace of a 115200 line, holding on XOFF.
    int xoffs = 0;
    bool held = false;
    QByteArray text;
    for (qsizetype i = 0; i < image.size();) {
        for (char c : port.readSome(held ? 100 : 1)) {
            if (c == kXoff) {
                held = true;
                ++xoffs;
            } else if (c == kXon) {
                held = false;
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
    QVERIFY2(sim.waitFor("verdict ", 10000), qPrintable(sim.report()));
    QVERIFY2(sim.waitFor("\n", 2000, sim.output.indexOf("verdict ")), qPrintable(sim.report()));
    const QByteArray verdict = sim.output.mid(sim.output.indexOf("verdict "));
    QVERIFY2(verdict.contains("identical=yes link=serial bytes=4000 expected=4000"),
             qPrintable(sim.report()));
    QVERIFY2(verdict.contains("host-bit-rate=115200"), qPrintable(sim.report()));
    QVERIFY2(verdict.contains("overruns=0 line-errors=0"), qPrintable(sim.report()));
    QVERIFY(xoffs > 0);

    // The restarted drive announces its new revision and answers at 9600.
    QByteArray rest = port.read(3);
    QCOMPARE(rest.right(3), bytes({0xFF, 0x06, 55}));
    text += rest.chopped(3);
    QCOMPARE(text, QByteArray(4000 / 256, '.'));
    QVERIFY(port.write("PR5\rSA\rSV\r"));
    QCOMPARE(port.read(8), QByteArray("OK\r106D\r"));

    sim.process.write("quit\n");
    QCOMPARE(sim.finish(), 0);
    QVERIFY2(sim.output.contains("result: identical"), qPrintable(sim.report()));
}

void DriveSimProgramTest::ethernetDownloadOverLoopback() {
    QTemporaryDir dir;
    const QByteArray image = testImage(2100);
    const QString firmware = writeFirmware(dir, image);
    SimProcess sim;
    QVERIFY2(sim.start({"--firmware", firmware, "--port", "0", "--no-power-up"}),
             qPrintable(sim.report()));
    auto stop = qScopeGuard([&] { sim.stop(); });
    UdpClient client;
    QVERIFY(client.open());

    QCOMPARE(client.ask(bytes({0, 8, 'C', 2}), sim.udpPort), bytes({0, 8, 5, 55}));
    QCOMPARE(client.ask(bytes({0, 8, 0x8E, 4, 'y'}), sim.udpPort),
             bytes({0, 8, '0', '0', '4', '4'}));
    QCOMPARE(client.ask(bytes({0, 99, 0}), sim.udpPort).left(6), bytes({0, 99, 0, 0, 1, 0x2C}));
    client.socket.writeDatagram(bytes({0, 18}), QHostAddress::LocalHost, sim.udpPort);
    client.socket.writeDatagram(QByteArray("\x00\x08"
                                           "B\x00"
                                           "5827",
                                           8),
                                QHostAddress::LocalHost, sim.udpPort);
    int dots = 0;
    for (qsizetype i = 0; i < image.size(); i += 200) {
        QByteArray answer = client.ask(bytes({0, 17}) + image.mid(i, 200), sim.udpPort);
        if (answer == bytes({0, 15, '.'})) {
            ++dots;
            answer = client.next();
        }
        QCOMPARE(answer, bytes({0, 17}));
    }
    QCOMPARE(dots, 11 / 4);
    QCOMPARE(client.ask(bytes({0, 16}), sim.udpPort), bytes({0, 16, 0, 11}));
    QVERIFY2(sim.waitFor("verdict ", 5000), qPrintable(sim.report()));
    QVERIFY2(sim.waitFor("identical=yes link=udp bytes=2100", 2000), qPrintable(sim.report()));
    QCOMPARE(client.ask(bytes({0, 8, 'C', 2}), sim.udpPort), bytes({0, 8, 6, 55}));

    sim.process.terminate();  // SIGTERM reports like "quit"
    QCOMPARE(sim.finish(), 0);
    QVERIFY2(sim.output.contains("result: identical"), qPrintable(sim.report()));
}

void DriveSimProgramTest::aWrongImageEndsWithExitCode1() {
    QTemporaryDir dir;
    const QByteArray image = testImage(400);
    const QString firmware = writeFirmware(dir, image);
    SimProcess sim;
    QVERIFY2(sim.start({"--firmware", firmware, "--port", "0", "--no-power-up",
                        "--exit-after-verdict", "--linger", "0", "--quiet-time", "0.3"}),
             qPrintable(sim.report()));
    auto stop = qScopeGuard([&] { sim.stop(); });
    UdpClient client;
    QVERIFY(client.open());
    client.socket.writeDatagram(QByteArray("\x00\x08"
                                           "B\x00"
                                           "5827",
                                           8),
                                QHostAddress::LocalHost, sim.udpPort);
    QByteArray wrong = image;
    wrong[350] = static_cast<char>(wrong[350] ^ 0x10);
    QCOMPARE(client.ask(bytes({0, 17}) + wrong.left(200), sim.udpPort), bytes({0, 17}));
    QCOMPARE(client.ask(bytes({0, 17}) + wrong.mid(200), sim.udpPort), bytes({0, 17}));
    QCOMPARE(sim.finish(), 1);
    QVERIFY2(sim.output.contains("identical=no link=udp bytes=400 expected=400 "
                                 "first-difference=350"),
             qPrintable(sim.report()));
    QVERIFY2(sim.output.contains("result: not identical"), qPrintable(sim.report()));
}

void DriveSimProgramTest::helpAndBadArguments() {
    QProcess help;
    help.start(QStringLiteral(KESTREL_DRIVE_SIM_PATH), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(5000));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char* option : {"--firmware", "--port", "--drop-data", "--exit-after-verdict",
                               "--timeout", "--no-sv-reply"}) {
        QVERIFY2(text.contains(option), option);
    }

    QProcess bad;
    bad.start(QStringLiteral(KESTREL_DRIVE_SIM_PATH),
              {QStringLiteral("--model"), QStringLiteral("300")});
    QVERIFY(bad.waitForFinished(5000));
    QCOMPARE(bad.exitCode(), 2);
    QVERIFY(bad.readAllStandardError().contains("--model: expected a whole number from 0 to 255"));
    QVERIFY(bad.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(DriveSimProgramTest)
#include "test_drive_sim_program.moc"
