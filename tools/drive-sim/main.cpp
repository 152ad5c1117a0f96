// kestrel-drive-sim: the simulated drive on a pseudo-terminal and loopback UDP.
#include <unistd.h>
#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QTimer>
#include <QUdpSocket>
#include <cstdio>

#include "CommandLine.h"
#include "PtyLine.h"
#include "QtScheduler.h"
#include "SimulatedDrive.h"
#include "platform/SignalWatcher.h"

using namespace kestrel::drivesim;

namespace {

void printLine(FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// Hands what the drive sends to the pty and the UDP socket.
class ProgramTransport final : public DriveTransport {
  public:
    ProgramTransport(PtyLine& pty, QUdpSocket& udp) : pty_(pty), udp_(udp) {}
    void deliverSerialByte(char byte) override { pty_.write(byte); }
    void deliverDatagram(const QByteArray& datagram, const Endpoint& to) override {
        udp_.writeDatagram(datagram, QHostAddress(to.host), to.port);
    }

  private:
    PtyLine& pty_;
    QUdpSocket& udp_;
};

// Lines on standard input steer the drive: "power-up", "quit".
void watchStdin(QObject* owner, SimulatedDrive& drive, std::function<void()> quit) {
    auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, owner);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [=, &drive] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            notifier->setEnabled(false);  // end of input: nothing more to steer with
            return;
        }
        pending->append(buffer, static_cast<qsizetype>(n));
        qsizetype end;
        while ((end = pending->indexOf('\n')) >= 0) {
            const QByteArray line = pending->left(end).trimmed();
            pending->remove(0, end + 1);
            if (line == "power-up") {
                drive.powerUp();
            } else if (line == "quit") {
                quit();
            } else if (!line.isEmpty()) {
                printLine(stderr, QStringLiteral("kestrel-drive-sim: unknown input \"%1\"")
                                      .arg(QString::fromLatin1(line)));
            }
        }
    });
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const CommandLine command = parseCommandLine(app.arguments());
    if (command.helpRequested) {
        std::fputs(commandLineHelp().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!command.options) {
        printLine(stderr, QStringLiteral("kestrel-drive-sim: %1\nTry --help.").arg(command.error));
        return 2;
    }
    const ProgramOptions& options = *command.options;

    PtyLine pty;
    QString error;
    if (!pty.open(&error)) {
        printLine(stderr, QStringLiteral("kestrel-drive-sim: no pseudo-terminal: %1").arg(error));
        return 2;
    }
    QUdpSocket udp;
    if (!udp.bind(QHostAddress(options.address), options.drive.udpPort)) {
        printLine(stderr, QStringLiteral("kestrel-drive-sim: cannot listen on %1:%2: %3")
                              .arg(options.address)
                              .arg(options.drive.udpPort)
                              .arg(udp.errorString()));
        return 2;
    }

    QtScheduler scheduler;
    ProgramTransport transport(pty, udp);
    SimulatedDrive drive(scheduler, transport, options.drive);

    bool finished = false;
    auto finish = [&drive, &finished] {
        if (finished) {
            return;  // a signal after "quit", or a second verdict's linger
        }
        finished = true;
        const auto verdict = drive.lastVerdict();
        if (!verdict) {
            printLine(stdout, QStringLiteral("result: no image"));
        } else {
            printLine(stdout, verdict->identical ? QStringLiteral("result: identical")
                                                 : QStringLiteral("result: not identical"));
        }
        QCoreApplication::exit(verdict && verdict->identical ? 0 : 1);
    };

    if (options.printTranscript) {
        drive.onTranscript = [](const TranscriptEntry& e) { printLine(stderr, formatEntry(e)); };
    }
    drive.onVerdict = [&](const Verdict& v) {
        printLine(stdout, QStringLiteral("verdict ") + v.describe());
        if (options.exitAfterVerdict) {
            QTimer::singleShot(static_cast<int>(options.linger * 1000), &app, finish);
        }
    };
    pty.onBytes = [&drive](const QByteArray& bytes, int rate) {
        drive.hostSerialBytes(bytes, rate);
    };
    pty.onBitRateChanged = [&drive](int rate) { drive.hostBitRateChanged(rate); };
    pty.onProblem = [](const QString& why) {
        printLine(stderr, QStringLiteral("kestrel-drive-sim: %1").arg(why));
    };
    drive.hostBitRateChanged(pty.hostBitRate());
    QObject::connect(&udp, &QUdpSocket::readyRead, &app, [&] {
        while (udp.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = udp.receiveDatagram();
            // Only a host on this machine may talk to the simulated drive.
            if (!datagram.senderAddress().isLoopback()) {
                continue;
            }
            drive.hostDatagram(datagram.data(), {datagram.senderAddress().toString(),
                                                 static_cast<quint16>(datagram.senderPort())});
        }
    });
    // SIGTERM and SIGINT end the run through the same report as "quit".
    kestrel::SignalWatcher signalWatcher(finish);
    watchStdin(&app, drive, finish);
    if (options.timeout > 0.0) {
        QTimer::singleShot(static_cast<int>(options.timeout * 1000), &app, finish);
    }
    if (options.powerUpAtStart) {
        QTimer::singleShot(static_cast<int>(options.powerUpDelay * 1000), &app,
                           [&drive] { drive.powerUp(); });
    }

    printLine(stdout, pty.slavePath());
    printLine(stdout, QStringLiteral("udp %1:%2").arg(options.address).arg(udp.localPort()));
    return app.exec();
}
