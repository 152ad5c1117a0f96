#pragma once

// The simulated drive and kestrel-flash as processes, for the flash tests.
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace kestrel::testing {

// kestrel-drive-sim, silent until told to power up, its transcript on
// standard error.
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
    // What the host did on the line, in order, without times; the drive is
    // ended first, so nothing is still on its way.
    QStringList hostLines() {
        process.write("quit\n");
        process.waitForFinished(5000);
        static const QRegularExpression host("^\\s*[\\d.]+ (\\w+\\s+(host>|\\*\\s+host ).*)$");
        QStringList lines;
        for (const QString& line :
             QString::fromLocal8Bit(process.readAllStandardError()).split('\n')) {
            if (const auto m = host.match(line); m.hasMatch()) {
                lines << m.captured(1);
            }
        }
        return lines;
    }
    QProcess process;
    QString ptyPath;
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
    void start(const QStringList& arguments) {
        process.start(KESTREL_FLASH_PATH, arguments);
        process.waitForStarted();
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
    int finish(int timeoutMs = 20000) {
        const bool ended = process.waitForFinished(timeoutMs);
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QString report() const {
        return QString::fromLocal8Bit("stdout:\n" + out + "\nstderr:\n" + err);
    }

    QTemporaryDir home;
    QProcess process;
    QByteArray out;
    QByteArray err;
};

}  // namespace kestrel::testing
