// The updater as a process on a real pseudo-terminal: SIGTERM and SIGINT end
// it through the normal shut-down, so the port's lock file is released and
// the settings are saved.
#include <fcntl.h>
#include <unistd.h>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

class UpdaterProcessTest : public QObject {
    Q_OBJECT
  private slots:
    void signalEndsThroughShutDown_data();
    void signalEndsThroughShutDown();
};

namespace {

// QSerialPort's lock file for a device: /dev/pts/7 is locked as LCK..pts_7.
bool lockHeld(const QString& device) {
    QString name = device;
    name.remove(QRegularExpression(QStringLiteral("^/dev/")))
        .replace(QLatin1Char('/'), QLatin1Char('_'));
    return QFile::exists(QStringLiteral("/var/lock/LCK..") + name);
}

}  // namespace

void UpdaterProcessTest::signalEndsThroughShutDown_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void UpdaterProcessTest::signalEndsThroughShutDown() {
    QFETCH(int, signalNumber);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        QSKIP("This machine gives no pseudo-terminals (posix_openpt failed)");
    }
    auto closeMaster = qScopeGuard([master] { ::close(master); });
    const QString slave = QString::fromLocal8Bit(::ptsname(master));

    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString conf = home.filePath("config/KestrelUpdater/KestrelUpdater.conf");
    {
        QSettings settings(conf, QSettings::IniFormat);
        settings.setValue("Ports/COM1", slave);
        settings.setValue("Startup/IPaddress", "192.168.0.20");
    }

    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    updater.setProcessEnvironment(env);
    updater.start(QStringLiteral(KESTREL_UPDATER_PATH), {});
    QVERIFY(updater.waitForStarted());
    auto stop = qScopeGuard([&updater] {
        if (updater.state() != QProcess::NotRunning) {
            updater.kill();
            updater.waitForFinished();
        }
    });

    // The port is open once QSerialPort has taken its lock.
    QTRY_VERIFY_WITH_TIMEOUT(lockHeld(slave), 10000);
    ::kill(static_cast<pid_t>(updater.processId()), signalNumber);
    QVERIFY(updater.waitForFinished(10000));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);
    QVERIFY(!lockHeld(slave));

    QSettings saved(conf, QSettings::IniFormat);
    QCOMPARE(saved.value("Startup/CommPort").toString(), QStringLiteral("1"));
    QCOMPARE(saved.value("Startup/IPaddress").toString(), QStringLiteral("192.168.0.20"));
}

QTEST_GUILESS_MAIN(UpdaterProcessTest)
#include "test_updater_process.moc"
