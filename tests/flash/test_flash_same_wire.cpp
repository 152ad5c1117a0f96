// The window (offscreen, on the real QtSerialPort and QtUdpSocket) and
// kestrel-flash, each against its own kestrel-drive-sim: identifying the
// drive, and whole 64 KiB downloads over both links. The drives must hear
// exactly the same from both, and judge every image byte.
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "Doubles.h"
#include "FlashProcess.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtUdpSocket.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

class FlashSameWireTest : public QObject {
    Q_OBJECT
  private slots:
    void identifyPutsTheWindowsBytesOnTheWire();
    void downloadPutsTheWindowsBytesOnTheWire_data();
    void downloadPutsTheWindowsBytesOnTheWire();
};

namespace {

QByteArray firmwareFile(const QByteArray& model) {
    QByteArray image(64 * 1024 + 57, '\0');
    for (qsizetype i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>((i * 31 + i / 200) & 0xFF);
    }
    return "1.07\r\n" + model + "\r\nxyz" + image;
}

// Closes each message box the window opens, keeping its text: a person
// pressing OK.
struct BoxCloser {
    explicit BoxCloser(QWidget& form) {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this, &form] {
            for (auto* box : form.findChildren<QMessageBox*>()) {
                if (box->isVisible()) {
                    texts << box->text();
                    box->done(QMessageBox::Ok);
                }
            }
        });
        timer.start();
    }
    QTimer timer;
    QStringList texts;
};

// "Download to Drive..." in the window on the real stack; the box texts.
QStringList windowDownload(SimDrive& sim, const QString& file, bool ethernet) {
    QtClock clock;
    QtEventPump pump(clock);
    MemorySettingsStore settings;
    settings.write(AppInfo::settingsApplication(), "Ports", "COM1", sim.ptyPath);
    settings.write(AppInfo::settingsApplication(), "Startup", "IPaddress", "127.0.0.1");
    QtSerialPort serial(settings);
    QtUdpSocket udp;
    ScriptedFileDialog dialog;
    Platform platform{clock, pump, serial, udp, dialog, settings};
    Mainform form(platform);
    form.Form_Load();
    form.show();
    BoxCloser boxes(form);
    if (ethernet) {
        form.session().chooseLink(Link::Ethernet);
    }
    dialog.choose(file);
    form.findChild<QPushButton*>("OpenPrograms")->click();
    auto* start = form.findChild<QPushButton*>("StartDownload");
    if (!ethernet) {
        sim.powerUp();
        QDeadlineTimer deadline(10000);
        while (!start->isEnabled() && !deadline.hasExpired()) {
            QTest::qWait(20);
        }
    }
    start->click();  // returns when the download has ended
    // Set to refresh the README's picture of a finished download.
    const QString picture = qEnvironmentVariable("KESTREL_DOWNLOAD_SCREENSHOT");
    if (!picture.isEmpty() && !ethernet && boxes.texts.size() == 1 &&
        boxes.texts[0] == "Firmware Download is complete") {
        form.grab().save(picture);
    }
    form.session().Form_Unload();
    return boxes.texts;
}

}  // namespace

void FlashSameWireTest::identifyPutsTheWindowsBytesOnTheWire() {
    const QStringList drive{"--model", "49", "--revision", "7", "--port", "0"};
    // The window offscreen on the real serial port; doubles only for what
    // would touch the machine's settings and UDP port 7777.
    SimDrive windowSim;
    QVERIFY(windowSim.start(drive));
    QtClock clock;
    QtEventPump pump(clock);
    MemorySettingsStore settings;
    settings.write(AppInfo::settingsApplication(), "Ports", "COM1", windowSim.ptyPath);
    QtSerialPort serial(settings);
    SimTime unusedTime;
    FakeUdpSocket udp(unusedTime);
    ScriptedFileDialog fileDialog;
    Platform platform{clock, pump, serial, udp, fileDialog, settings};
    Mainform form(platform);
    form.Form_Load();
    windowSim.powerUp();
    QTRY_COMPARE_WITH_TIMEOUT(form.session().report().drive().model, "KX-M3", 10000);
    form.Quit_Click();
    const QStringList window = windowSim.hostLines();
    QVERIFY2(window.contains("serial host>  command \"QT\""), qPrintable(window.join('\n')));

    SimDrive flashSim;
    QVERIFY(flashSim.start(drive));
    FlashProcess flash;
    flash.start({"--port", flashSim.ptyPath, "--identify"});
    QVERIFY2(flash.waitForOutput("to power up"), qPrintable(flash.report()));
    flashSim.powerUp();
    QCOMPARE(flash.finish(), 0);
    QCOMPARE(flashSim.hostLines(), window);
}

void FlashSameWireTest::downloadPutsTheWindowsBytesOnTheWire_data() {
    QTest::addColumn<bool>("ethernet");
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("serial") << false << QByteArray("55") << "Firmware Download is complete" << 0;
    QTest::newRow("Ethernet") << true << QByteArray("55") << "Firmware Download Successful" << 0;
    QTest::newRow("serial, a file for another drive")
        << false << QByteArray("20")
        << "The Selected Firmware File cannot be loaded into the Attached Drive" << 6;
}

void FlashSameWireTest::downloadPutsTheWindowsBytesOnTheWire() {
    QFETCH(bool, ethernet);
    QFETCH(QByteArray, model);
    QFETCH(QString, message);
    QFETCH(int, exitCode);
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
    auto unset = qScopeGuard([] { qunsetenv("XDG_DATA_HOME"); });
    const QString file = dir.filePath("Flash.E");
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(firmwareFile(model)) > 0);
    out.close();
    // A roomy buffer: on a pty nothing paces the host but the drive's XOFF.
    const QStringList drive{"--firmware",   file,    "--rx-buffer",  "16384",
                            "--drain-rate", "40000", "--quiet-time", "2"};
    const bool fits = exitCode == 0;

    SimDrive windowSim;
    QVERIFY(windowSim.start(drive));
    QElapsedTimer took;
    took.start();
    QCOMPARE(windowDownload(windowSim, file, ethernet), QStringList{message});
    qInfo("window: %.1f s", static_cast<double>(took.elapsed()) / 1000);
    const QStringList window = windowSim.hostLines();
    QCOMPARE(windowSim.process.readAllStandardOutput().contains("result: identical"), fits);

    SimDrive flashSim;
    QVERIFY(flashSim.start(drive));
    FlashProcess flash;
    took.restart();
    flash.start({ethernet ? "--ip" : "--port", ethernet ? "127.0.0.1" : flashSim.ptyPath, file});
    if (!ethernet) {
        QVERIFY2(flash.waitForOutput("to power up"), qPrintable(flash.report()));
        flashSim.powerUp();
    }
    QCOMPARE(flash.finish(60000), exitCode);
    qInfo("kestrel-flash: %.1f s", static_cast<double>(took.elapsed()) / 1000);
    QVERIFY2(flash.err.contains(message.toUtf8()), qPrintable(flash.report()));
    QCOMPARE(flashSim.hostLines(), window);
    QCOMPARE(flashSim.process.readAllStandardOutput().contains("result: identical"), fits);
}

QTEST_MAIN(FlashSameWireTest)
#include "test_flash_same_wire.moc"
