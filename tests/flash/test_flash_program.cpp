// kestrel-flash as a process: each exit code made to happen, against the
// simulated drive on a pseudo-terminal and on loopback UDP, with the window's
// remembered settings left as they were and no port left locked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QUdpSocket>
#include <QtTest>
#include <csignal>

#include "FlashProcess.h"

using namespace kestrel::testing;

class FlashProgramTest : public QObject {
    Q_OBJECT
  private slots:
    void exitCodes_data();
    void exitCodes();
};

namespace {

// A pseudo-terminal that no drive answers on.
struct QuietPty {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QString path = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0
                       ? QString::fromLocal8Bit(::ptsname(master))
                       : QString();
    ~QuietPty() { ::close(master); }
};

bool lockHeld(QString device) {
    return QFile::exists("/var/lock/LCK.." + device.mid(5).replace('/', '_'));
}

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

// Runs the tool as a user that may not open the pty: nobody when we are
// root (who may open anything), else the pty loses its permissions.
void denyPty(FlashProcess& flash, const QString& pty) {
    if (::geteuid() != 0) {
        QCOMPARE(::chmod(pty.toLocal8Bit().constData(), 0), 0);
        return;
    }
    flash.process.setChildProcessModifier([] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(99);
        }
    });
}

}  // namespace

void FlashProgramTest::exitCodes_data() {
    // PTY: the drive's pty; QUIET: a pty nobody answers on; DIR: the files.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("step");  // what the test does once the tool runs
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");  // empty: nothing on standard error
    const QString m1 = "Drive: KX-M1, revision 1.05";
    QTest::newRow("serial") << "--port PTY --identify"
                            << "power-up" << 0 << m1 + " (NEMA 17 Integrated Step Motor & Drive)\n"
                            << "";
    QTest::newRow("COM2 from [Ports], file fits")
        << "--com 2 --identify DIR/57.E"
        << "power-up" << 0 << "on COM2 (PTY) to power up\n" + m1 + " (NEMA 17"
        << "";
    QTest::newRow("does not fit, json") << "--port PTY --identify DIR/49.E --json"
                                        << "power-up" << 6 << "\"outcome\": \"file-does-not-fit\""
                                        << "cannot be loaded into the Attached Drive";
    QTest::newRow("file missing") << "--port PTY --identify DIR/none.E"
                                  << "" << 5 << ""
                                  << "Error: Cannot open the firmware file \"DIR/none.E\"";
    QTest::newRow("file empty") << "--port PTY --identify DIR/empty.E"
                                << "" << 5 << ""
                                << "The Firmware file was empty";
    QTest::newRow("bad arguments") << "--com 9 --identify"
                                   << "" << 2 << ""
                                   << "Try --help.";
    QTest::newRow("no such device") << "--port /nonexistent/tty --identify"
                                    << "" << 3 << ""
                                    << "Invalid Port Number\nInvalid Port Number\n"
                                       "kestrel-flash: COM1 (/nonexistent/tty) does not exist";
    QTest::newRow("permission denied") << "--port QUIET --identify"
                                       << "deny" << 3 << ""
                                       << "sudo adduser $USER dialout";
    QTest::newRow("no drive") << "--port QUIET --identify --wait 0.3"
                              << "" << 4 << ""
                              << "kestrel-flash: no drive announced itself on COM1 (QUIET)";
    QTest::newRow("SIGTERM") << "--port QUIET --identify --wait 60 --json"
                             << "SIGTERM" << 1 << "\"outcome\": \"stopped\""
                             << "to power up";
    QTest::newRow("ping") << "--ip 127.0.0.1 --ping"
                          << "" << 0
                          << "Drive responded.  ARM build number is 300. MAC ID = 2-0-0-4B-53-37\n"
                          << "";
    QTest::newRow("ethernet, does not fit") << "--ip 127.0.0.1 --identify DIR/49.E"
                                            << "" << 6 << m1 + " D (NEMA 17"
                                            << "cannot be loaded";
    QTest::newRow("ping nobody") << "--ip 127.0.0.2 --ping"
                                 << "" << 4 << "No response from drive\n"
                                 << "";
    QTest::newRow("identify nobody") << "--ip 127.0.0.2 --identify"
                                     << "" << 4 << ""
                                     << "kestrel-flash: no drive answered at 127.0.0.2";
    QTest::newRow("UDP port taken") << "--ip 127.0.0.1 --ping"
                                    << "hold7777" << 3 << ""
                                    << "Winsock error[10048] occured";
}

void FlashProgramTest::exitCodes() {
    QFETCH(QString, arguments);
    QFETCH(QString, step);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    SimDrive sim;  // a KX-M1 at 1.05, also on 127.0.0.1:7775
    QVERIFY(sim.start({}));
    QuietPty quiet;
    FlashProcess flash;
    const QString dir = flash.home.path();
    writeFile(dir + "/57.E", "1.06\r\n57\r\nxyzIMAGE");
    writeFile(dir + "/49.E", "1.06\r\n49\r\nxyzIMAGE");
    writeFile(dir + "/empty.E", "");
    {
        QSettings settings(flash.settingsFile(), QSettings::IniFormat);
        settings.setValue("Startup/CommPort", "3");
        settings.setValue("Startup/IPaddress", "192.168.0.20");
        settings.setValue("Ports/COM1", "/nonexistent/com1");
        settings.setValue("Ports/COM2", sim.ptyPath);
    }
    auto paths = [&](QString text) {
        return text.replace("PTY", sim.ptyPath).replace("QUIET", quiet.path).replace("DIR", dir);
    };
    QUdpSocket holder;
    QVERIFY(step != "hold7777" || holder.bind(QHostAddress::AnyIPv4, 7777));
    if (step == "deny") {
        denyPty(flash, quiet.path);
    }

    flash.start(paths(arguments).split(' '));
    if (step == "power-up" || step == "SIGTERM") {
        QVERIFY2(flash.waitForOutput("to power up"), qPrintable(flash.report()));
    }
    if (step == "power-up") {
        sim.powerUp();
    } else if (step == "SIGTERM") {
        ::kill(static_cast<pid_t>(flash.process.processId()), SIGTERM);
    }
    QCOMPARE(flash.finish(), exitCode);
    QVERIFY2(flash.out.contains(paths(out).toLocal8Bit()), qPrintable(flash.report()));
    QVERIFY2(err.isEmpty() ? flash.err.isEmpty() : flash.err.contains(paths(err).toLocal8Bit()),
             qPrintable(flash.report()));
    if (arguments.contains("--json")) {
        QCOMPARE(QJsonDocument::fromJson(flash.out).object().value("exitCode").toInt(), exitCode);
    }
    if (step == "power-up") {  // answered as the window answers
        QVERIFY(sim.hostLines().contains("serial host>  command \"QT\""));
    }
    QVERIFY(!lockHeld(sim.ptyPath) && !lockHeld(quiet.path));
    QSettings settings(flash.settingsFile(), QSettings::IniFormat);
    QCOMPARE(settings.value("Startup/CommPort").toString(), "3");
    QCOMPARE(settings.value("Startup/IPaddress").toString(), "192.168.0.20");
}

QTEST_GUILESS_MAIN(FlashProgramTest)
#include "test_flash_program.moc"
