// A machine that is not as the tools expect: no display for the window, a COM
// port that is not a serial port, a settings store that cannot be read or
// written. Each gets a clear message, never a hang or an abort.
#include <QProcess>
#include <QtTest>

#include "Doubles.h"
#include "platform/qt/QtServices.h"

using namespace kestrel;
using namespace kestrel::testing;

class BadEnvironmentTest : public QObject {
    Q_OBJECT
  private slots:
    void programs_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");  // DIR: a temporary folder
        QTest::addColumn<QString>("display");        // empty: unset
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("errorEnd");  // how standard error ends
        const QString noDisplay = QStringLiteral(
            "kestrel-updater: no display available (%1); use kestrel-flash on a terminal");
        QTest::newRow("no display") << KESTREL_UPDATER_PATH << QStringList() << "" << 1
                                    << noDisplay.arg("DISPLAY is not set");
        QTest::newRow("display not reachable")
            << KESTREL_UPDATER_PATH << QStringList() << ":12345" << 1
            << noDisplay.arg("the display cannot be reached");
        // The window maps COM1 onto the same port and shows the same boxes.
        for (const char* port : {"/dev/null", "DIR"}) {
            QTest::addRow("--port %s", port)
                << KESTREL_FLASH_PATH << QStringList{"--port", port, "--identify"} << "" << 3
                << QStringLiteral(
                       "Invalid Port Number\nInvalid Port Number\nkestrel-flash: COM1 "
                       "(%1) is not a serial port (not a terminal device)")
                       .arg(port);
        }
    }
    void programs() {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(QString, display);
        QFETCH(QString, errorEnd);
        QTemporaryDir dir;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            env.remove(name);
        }
        if (!display.isEmpty()) {
            env.insert("DISPLAY", display);
        }
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, arguments.replaceInStrings("DIR", dir.path()));
        QVERIFY(process.waitForFinished(20000));
        const QString err = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QTEST(process.exitCode(), "exitCode");
        QVERIFY2(err.endsWith(errorEnd.replace("DIR", dir.path())), qPrintable(err));
    }

    // The window's start-up and shut-down with the real store in bad shape:
    // the defaults, and one line in the status log for reading and for saving.
    void settingsStore_data() {
        QTest::addColumn<QString>("situation");
        QTest::newRow("file is a folder") << "folder";
        QTest::newRow("folder cannot be created") << "blocked";
    }
    void settingsStore() {
        QFETCH(QString, situation);
        QTemporaryDir dir;
        const QString home = dir.filePath(situation == "blocked" ? "plain/config" : "config");
        const QString file = home + "/KestrelUpdater/KestrelUpdater.conf";
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home);
        // blocked: a plain file where the folder should go
        QFile plain(dir.filePath("plain"));
        QVERIFY(situation == "folder" ? QDir().mkpath(file) : plain.open(QIODevice::WriteOnly));
        TestPlatform tp;
        QtSettingsStore store;
        Platform platform{tp.time, tp.pump, tp.serial, tp.udp, tp.fileDialog, store};
        RecordingObserver seen;
        Session session(platform, seen);
        session.Form_Load();
        QCOMPARE(seen.address, Session::defaultAddress());
        QCOMPARE(seen.status,
                 situation != "blocked"
                     ? "The settings in " + file + " could not be read; using the defaults\r\n"
                     : QString());
        session.Form_Unload();
        QCOMPARE(seen.status.count("The settings could not be saved in " + file + "\r\n"), 1);
    }
};

QTEST_GUILESS_MAIN(BadEnvironmentTest)
#include "test_bad_environment.moc"
