#pragma once

// kestrel-drive-sim and kestrel-flash as processes, for the tests of whole
// programs (the including test defines where the programs are).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cerrno>

#include "Bytes.h"

namespace kestrel::testing {

// A pseudo-terminal that no drive answers on.
struct QuietPty {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QString path = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0
                       ? QString::fromLocal8Bit(::ptsname(master))
                       : QString();
    ~QuietPty() { ::close(master); }
};

// QSerialPort's lock file for a device: /dev/pts/7 is locked as LCK..pts_7.
// A lock whose process is gone (one killed by SIGKILL, say) holds nothing:
// the next opening takes it over; but one left by `owner`, a program that
// should have let it go on its way out, counts.
inline bool lockHeld(QString device, qint64 owner = 0) {
    QFile lock("/var/lock/LCK.." + device.mid(5).replace('/', '_'));
    if (!lock.open(QIODevice::ReadOnly)) {
        return false;
    }
    const qint64 pid = lock.readLine().trimmed().toLongLong();
    return pid > 0 && (pid == owner || ::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// kestrel-drive-sim, silent until told to power up, its transcript on
// standard error and its verdict on standard output.
struct SimDrive {
    ~SimDrive() {
        process.kill();
        process.waitForFinished();
    }
    bool start(const QStringList& arguments) {
        process.start(KESTREL_DRIVE_SIM_PATH,
                      QStringList{"--no-power-up", "--transcript"} + arguments);
        process.waitForReadyRead(5000);
        ptyPath = QString::fromLocal8Bit(process.readLine()).trimmed();
        return ptyPath.startsWith("/dev/");
    }
    void powerUp() {
        process.write("power-up\n");
        process.waitForBytesWritten();
    }
    // Ends the drive, so nothing is still on its way; then `hostLines` holds
    // what the host did on the line, in order, without times, and `verdict`
    // says "result: identical" only when the last image taken was expected.
    void quit() {
        process.write("quit\n");
        process.waitForFinished(5000);
        verdict = process.readAllStandardOutput();
        static const QRegularExpression host("^\\s*[\\d.]+ (\\w+\\s+(host>|\\*\\s+host ).*)$");
        const QString transcript = QString::fromLocal8Bit(process.readAllStandardError());
        for (const QString& line : transcript.split('\n')) {
            if (const auto m = host.match(line); m.hasMatch()) {
                hostLines << m.captured(1);
            }
        }
    }
    QProcess process;
    QString ptyPath;
    QStringList hostLines;
    QByteArray verdict;
};

// kestrel-flash with XDG folders of its own, so the machine's settings
// neither steer nor see it.
struct FlashProcess {
    FlashProcess() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", home.filePath("config"));
        env.insert("XDG_DATA_HOME", home.filePath("data"));
        process.setProcessEnvironment(env);
    }
    QString settingsFile() const {
        return home.filePath("config/KestrelUpdater/KestrelUpdater.conf");
    }
    // Writes the settings file (INI text) where the programs will look for it.
    bool writeSettings(const QByteArray& ini) const {
        return QDir().mkpath(home.filePath("config/KestrelUpdater")) &&
               writeFile(settingsFile(), ini);
    }
    void start(const QStringList& arguments) {
        process.start(KESTREL_FLASH_PATH, arguments);
        process.waitForStarted();
        pid = process.processId();
    }
    // Reads both outputs until `text` came on one of them (--json moves the
    // status text to standard error) or the program ended.
    bool waitForOutput(const QByteArray& text) {
        const QDeadlineTimer deadline(10000);
        while (!(out + err).contains(text) && !deadline.hasExpired() &&
               process.state() == QProcess::Running) {
            process.waitForReadyRead(50);
            out += process.readAllStandardOutput();
            err += process.readAllStandardError();
        }
        return (out + err).contains(text);
    }
    // The exit code, or -1 when it crashed or hung.
    int finish(int timeoutMs = 40000) {
        const bool ended = process.waitForFinished(timeoutMs);
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QByteArray report() const { return "stdout:\n" + out + "\nstderr:\n" + err; }

    QTemporaryDir home;
    QProcess process;
    qint64 pid = 0;
    QByteArray out;
    QByteArray err;
};

}  // namespace kestrel::testing
