// A machine that is not as the tools expect: no display for the window, a COM
// port that is not a serial port, a settings store that cannot be read or
// written. Each gets a clear message, never a hang or an abort.
#include <QtTest>

#include "Doubles.h"
#include "Processes.h"
#include "platform/qt/QtServices.h"

using namespace kestrel;
using namespace kestrel::testing;

class BadEnvironmentTest : public QObject {
    Q_OBJECT
  private slots:
    void programs_data() {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QString>("display");  // empty: unset
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("errorEnd");  // how standard error ends
        const QString noDisplay = QStringLiteral(
            "kestrel-updater: no display available (%1); use kestrel-flash on a terminal");
        QTest::newRow("no display")
            << QStringList{KESTREL_UPDATER_PATH} << "" << 1 << noDisplay.arg("DISPLAY is not set");
        QTest::newRow("display not reachable") << QStringList{KESTREL_UPDATER_PATH} << ":12345" << 1
                                               << noDisplay.arg("the display cannot be reached");
        // The window maps COM1 onto the same port and shows the same boxes.
        QTest::newRow("--port /dev/null")
            << QStringList{KESTREL_FLASH_PATH, "--port", "/dev/null", "--identify"} << "" << 3
            << "Invalid Port Number\n(the same message 2 times in all)\nkestrel-flash: COM1 "
               "(/dev/null) is not "
               "a serial port (not a terminal device)";
    }
    void programs() {
        QFETCH(QStringList, command);
        QFETCH(QString, display);
        QFETCH(QString, errorEnd);
        FlashProcess run;  // for its XDG folders
        QProcessEnvironment env = run.process.processEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
            env.remove(name);
        }
        if (!display.isEmpty()) {
            env.insert("DISPLAY", display);
        }
        run.process.setProcessEnvironment(env);
        run.process.start(command.first(), command.mid(1));
        QTEST(run.finish(20000), "exitCode");  // -1 when it crashed or hung
        const QString err = QString::fromLocal8Bit(run.err).trimmed();
        QVERIFY2(err.endsWith(errorEnd), qPrintable(err));
    }

    // The window's start-up and shut-down with the real store in bad shape (its
    // file a folder): the defaults, and one status line for reading and for saving.
    void settingsStore() {
        QTemporaryDir dir;
        const QString file = dir.filePath("config/KestrelUpdater/KestrelUpdater.conf");
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("config"));
        QVERIFY(QDir().mkpath(file));
        TestPlatform tp;
        QtSettingsStore store;
        Platform platform{tp.time, tp.pump, tp.serial, tp.udp, tp.fileDialog, store};
        RecordingObserver seen;
        Session session(platform, seen);
        session.Form_Load();
        QCOMPARE(seen.address, Session::defaultAddress());
        QCOMPARE(seen.status,
                 "The settings in " + file + " could not be read; using the defaults\r\n");
        session.Form_Unload();
        QCOMPARE(seen.status.count("The settings could not be saved in " + file + "\r\n"), 1);
    }
};

QTEST_GUILESS_MAIN(BadEnvironmentTest)
#include "test_bad_environment.moc"
