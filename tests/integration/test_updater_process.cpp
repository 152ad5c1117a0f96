// The updater as a process on a real pseudo-terminal: SIGTERM and SIGINT end
// it through the normal shut-down, so the port's lock file is released and
// the settings are saved.
#include <QSettings>
#include <QtTest>
#include <csignal>

#include "Processes.h"

using namespace kestrel::testing;

class UpdaterProcessTest : public QObject {
    Q_OBJECT
  private slots:
    void signalEndsThroughShutDown_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }

    void signalEndsThroughShutDown() {
        QFETCH(int, signalNumber);
        QuietPty pty;
        FlashProcess home;  // only for its XDG folders
        QVERIFY(home.writeSettings("[Ports]\nCOM1=" + pty.path.toLocal8Bit() + "\n"));
        QProcess& updater = home.process;
        QProcessEnvironment env = updater.processEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        updater.setProcessEnvironment(env);
        updater.start(QStringLiteral(KESTREL_UPDATER_PATH), {});

        // The port is open once QSerialPort has taken its lock.
        QTRY_VERIFY_WITH_TIMEOUT(lockHeld(pty.path), 10000);
        const qint64 pid = updater.processId();
        ::kill(static_cast<pid_t>(pid), signalNumber);
        QCOMPARE(home.finish(10000), 0);
        QVERIFY(!lockHeld(pty.path, pid));
        QSettings saved(home.settingsFile(), QSettings::IniFormat);
        QCOMPARE(saved.value("Startup/CommPort").toString(), QStringLiteral("1"));
    }
};

QTEST_GUILESS_MAIN(UpdaterProcessTest)
#include "test_updater_process.moc"
