// kestrel-flash as a process against kestrel-drive-sim on a pseudo-terminal
// and loopback UDP: every exit code made to happen (the drive's fault options
// end the download each way), with the window's remembered settings left as
// they were and no port left locked.
#include <sys/stat.h>
#include <unistd.h>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUdpSocket>
#include <QtTest>
#include <csignal>

#include "Processes.h"

using namespace kestrel::testing;

namespace {

// The tool runs as a user that may not open the pty: nobody when we are root
// (who may open anything), else the pty loses its permissions.
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

// PTY: the drive's pty, also COM8; QUIET: a pty nobody answers on; DIR: the
// files. The drive: a KX-M1 at 1.05, also on 127.0.0.1:7775.
const char* const s = "--port PTY DIR/small.E";
const char* const e = "--ip 127.0.0.1 DIR/small.E";
const char* const big = "--port PTY DIR/big.E";
const struct Row {
    const char* arguments;
    const char* drive;  // kestrel-drive-sim's fault options
    const char* step;   // what the test does while the tool runs
    int exitCode;
    const char* out;  // a part of standard output
    const char* err;  // a part of standard error; empty: nothing there
} kRows[] = {
    {"--com 8 --identify DIR/small.E", "", "power-up", 0,
     "on COM8 (PTY) to power up\nDrive: KX-M1, revision 1.05 (NEMA 17", ""},
    {"--ip 127.0.0.1 --ping", "", "", 0,
     "Drive responded.  ARM build number is 300. MAC ID = 2-0-0-4B-53-37\n", ""},
    {"--port PTY DIR/small.E --json", "", "power-up", 0, "\"exitCode\": 0", "is complete"},
    {"--simulate", "", "", 0, "Simulated drive: identical=yes", "is complete"},
    {"--simulate --ip 127.0.0.1 --allow-unknown-model DIR/200.E", "", "", 0,
     "The firmware file is for model 200, which this updater does not know\n",
     "Download Successful"},
    {big, "", "power-up,SIGTERM", 1, "", "the drive is left in its boot loader: switch it off"},
    // All the image sent; the drive has not been told to keep it.
    {e, "--quiet-time 5", "SIGINT at 100%", 1, "", "left in its boot loader"},
    {"--com 9 --identify", "", "", 2, "", "Try --help."},
    {"--com 9 --identify --json", "", "", 2, "\"outcome\": \"bad-arguments\"", "Try --help."},
    {"--port /nonexistent/tty --identify", "", "", 3, "",
     "Invalid Port Number\n(the same message 2 times in all)\n"
     "kestrel-flash: COM1 (/nonexistent/tty) does not exist"},
    {"--port QUIET --identify", "", "deny", 3, "", "sudo adduser $USER dialout"},
    {"--ip 127.0.0.1 --ping", "", "hold7777", 3, "", "Winsock error[10048] occured"},
    {"--port QUIET --identify --wait 0.3", "", "", 4, "", "no drive announced itself on COM1"},
    {"--ip 127.0.0.2 --ping", "", "", 4, "No response from drive\n", ""},
    {"--ip 127.0.0.2 DIR/small.E", "", "", 4, "", "no drive answered at 127.0.0.2"},
    {"--port PTY --identify DIR/none.E", "", "", 5, "", "Cannot open the firmware file"},
    {"--ip 127.0.0.1 --identify DIR/49.E", "", "", 6, "revision 1.05 D (NEMA 17",
     "cannot be loaded into the Attached Drive"},
    {"--ip 127.0.0.1 DIR/49.E", "", "", 6, "", "cannot be loaded into the Attached Drive"},
    {"--port PTY NOTHING", "", "", 7, "", "No Firmware Download File was selected"},
    {"--port PTY DIR/none.E", "", "", 8, "", "The File DIR/none.E could not be found"},
    {"--ip 127.0.0.1 DIR/empty.E", "", "", 9, "", "The Firmware file was empty"},
    {"--port PTY DIR/bad.E", "", "", 10, "", "firmware file \"DIR/bad.E\" cannot"},
    {s, "--error-at 3000", "power-up", 12, "", "Drive sent back an error code"},
    {e, "--ignore-count-queries --drop-acks 1", "", 13, "", "Unable to get packet receive"},
    {e, "--drop-data 1", "", 14, "", "dropped five times.\nYou may have too much traffic"},
    {s, "--rx-buffer 2048 --xoff-level 1024 --xon-level 256 --drain-rate 1", "power-up", 15, "",
     "Timeout waiting to send data to drive"},
    {s, "--no-dots", "power-up", 16, "", "The Drive is not responding to download"},
    {"--port PTY DIR/small.E --json", "--no-sa-reply", "power-up", 17, "\"icon\": \"critical\"",
     "Firmware Download Failed"},
    {e, "--exit-after-verdict --linger 0 --quiet-time 0.3", "", 18, "", "Download Failed"},
    {big, "", "power-up,truncate", 19, "", "An Unknown Error was encountered"},
    {s, "--exit-after-verdict --linger 0", "power-up", 20, "", "could not be set to 9600"},
    // The drive expects small.E's image and revision 1.06; this file says 1.07.
    {"--port PTY DIR/107.E", "", "power-up", 21, "",
     "Firmware Download is complete\nThe drive reports revision 1.06 after the download, but "
     "the firmware file is revision 1.07\n"},
    {"--port PTY DIR/200.E", "", "", 22, "",
     "kestrel-flash: The firmware file is for model 200, which this updater does not know; "
     "--allow-unknown-model loads it anyway"},
    {"--ip 127.0.0.1 --identify DIR/200.E", "", "", 22,
     "does not know\nFile: DIR/200.E, revision 0.00, for Unknown: does not fit the drive",
     "--allow-unknown-model loads it anyway"},
};

}  // namespace

class FlashProgramTest : public QObject {
    Q_OBJECT
  private slots:
    void exitCodes_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kRows)); ++i) {
            const Row& r = kRows[i];
            QTest::addRow("%d %s %s %s", r.exitCode, r.arguments, r.drive, r.step) << i;
        }
    }

    void exitCodes() {
        QFETCH(int, row);
        const Row& r = kRows[row];
        const QString step = r.step;
        FlashProcess flash;
        const QString dir = flash.home.path();
        const QByteArray small = firmware("57", 6000);
        QVERIFY(writeFile(dir + "/small.E", small) &&
                writeFile(dir + "/big.E", firmware("57", 65536)) &&
                writeFile(dir + "/49.E", firmware("49", 600)) &&
                writeFile(dir + "/200.E", firmware("200", 600)) &&
                writeFile(dir + "/107.E", firmware("57", 6000, "1.07")) &&
                writeFile(dir + "/empty.E", "") &&
                writeFile(dir + "/bad.E", "\"1.06" + QByteArray(300, 'x')));
        // A pty has no wire to slow the host down: room for an XOFF heeded late.
        SimDrive sim;
        QVERIFY(sim.start(QStringList{"--firmware", dir + "/small.E", "--quiet-time", "2",
                                      "--rx-buffer", "16384", "--drain-rate", "40000"} +
                          QString(r.drive).split(' ', Qt::SkipEmptyParts)));
        QuietPty quiet;
        const QByteArray ini =
            "[Ports]\nCOM1=/nonexistent/com1\nCOM8=" + sim.ptyPath.toLocal8Bit() +
            "\n\n[Startup]\nCommPort=3\nIPaddress=192.168.0.20\n";
        QVERIFY(flash.writeSettings(ini));
        auto paths = [&](QString text) {
            return text.replace("PTY", sim.ptyPath)
                .replace("QUIET", quiet.path)
                .replace("DIR", dir);
        };
        QUdpSocket holder;
        QVERIFY(step != "hold7777" || holder.bind(QHostAddress::AnyIPv4, 7777));
        if (step == "deny") {
            denyPty(flash, quiet.path);
        }

        flash.start(
            paths(r.arguments).split(' ').replaceInStrings(QRegularExpression("^NOTHING$"), ""));
        if (step.startsWith("power-up")) {
            QVERIFY2(flash.waitForOutput("to power up"), flash.report());
            sim.powerUp();
        }
        if (step.contains(',')) {
            QVERIFY2(flash.waitForOutput("progress 10%"), flash.report());
            QVERIFY(step.endsWith("SIGTERM") || QFile::resize(dir + "/big.E", 20));
        }
        if (step.endsWith("SIGTERM")) {
            ::kill(static_cast<pid_t>(flash.process.processId()), SIGTERM);
        }
        if (step.startsWith("SIGINT")) {
            QVERIFY2(flash.waitForOutput("progress 100%"), flash.report());
            ::kill(static_cast<pid_t>(flash.process.processId()), SIGINT);
        }
        QCOMPARE(flash.finish(), r.exitCode);
        QVERIFY2(flash.out.contains(paths(r.out).toLocal8Bit()), flash.report());
        QVERIFY2(!*r.err ? flash.err.isEmpty() : flash.err.contains(paths(r.err).toLocal8Bit()),
                 flash.report());
        QVERIFY2(!(flash.out + flash.err).contains('\r'), flash.report());  // a terminal's lines
        sim.quit();
        if (QString(r.arguments).endsWith("--json") && r.exitCode == 0) {
            const QJsonObject summary = QJsonDocument::fromJson(flash.out).object();
            QCOMPARE(summary.value("bytesSent").toInteger(), small.size() - 13);
            QVERIFY(summary["driveAfter"]["revision"].toString().startsWith("1.06"));
            // Not a terminal: a line at each tenth, 100 % once.
            QCOMPARE(flash.err.count("progress "), 10);
            QVERIFY(flash.err.contains("progress 100%\n"));
        }
        QVERIFY(!lockHeld(sim.ptyPath, flash.pid) && !lockHeld(quiet.path, flash.pid));
        QFile settings(flash.settingsFile());  // byte for byte as it was
        QVERIFY(settings.open(QIODevice::ReadOnly));
        QCOMPARE(settings.readAll(), ini);
    }
};

QTEST_GUILESS_MAIN(FlashProgramTest)
#include "test_flash_program.moc"
