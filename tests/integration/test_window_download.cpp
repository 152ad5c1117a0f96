// Whole downloads through the window (offscreen) on the real stack: the real
// QtSerialPort on the simulator's pseudo-terminal, or the real QtUdpSocket on
// loopback, with kestrel-drive-sim as a process judging every image byte.
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include "Doubles.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtUdpSocket.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

constexpr int kImageSize = 64 * 1024 + 57;

QByteArray firmwareFile(const char* model) {
    QByteArray image(kImageSize, '\0');
    for (int i = 0; i < kImageSize; ++i) {
        image[i] = static_cast<char>((i * 31 + i / 200) & 0xFF);
    }
    return QByteArray("1.07\r\n") + model + "\r\n" + "xyz" + image;
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

}  // namespace

class WindowDownloadTest : public QObject {
    Q_OBJECT
  private slots:
    void download_data();
    void download();
};

void WindowDownloadTest::download_data() {
    QTest::addColumn<bool>("ethernet");
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QString>("message");
    QTest::newRow("serial, 64 KiB") << false << QByteArray("55") << "Firmware Download is complete";
    QTest::newRow("Ethernet, 64 KiB") << true << QByteArray("55") << "Firmware Download Successful";
    QTest::newRow("serial, a file for another drive")
        << false << QByteArray("20")
        << "The Selected Firmware File cannot be loaded into the Attached Drive";
}

void WindowDownloadTest::download() {
    QFETCH(bool, ethernet);
    QFETCH(QByteArray, model);
    QFETCH(QString, message);
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
    const QString path = dir.filePath(QStringLiteral("Flash.E"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(firmwareFile(model));
    file.close();
    const QString expected = dir.filePath(QStringLiteral("expected.E"));
    QVERIFY(QFile::copy(path, expected));

    // Its buffer is roomy because nothing paces the host on a pty but the
    // drive's own XOFF.
    QProcess sim;
    sim.setProcessChannelMode(QProcess::SeparateChannels);
    sim.start(QStringLiteral(KESTREL_DRIVE_SIM_PATH),
              {"--firmware", expected, "--no-power-up", "--quiet-time", "2", "--rx-buffer", "16384",
               "--drain-rate", "40000"});
    auto stop = qScopeGuard([&sim] {
        sim.write("quit\n");
        if (!sim.waitForFinished(5000)) {
            sim.kill();
            sim.waitForFinished();
        }
    });
    QVERIFY(sim.waitForReadyRead(5000));
    const QString pty = QString::fromLocal8Bit(sim.readLine()).trimmed();
    QVERIFY2(pty.startsWith(QLatin1String("/dev/")), qPrintable(pty));

    QtClock clock;
    QtEventPump pump(clock);
    MemorySettingsStore settings;
    settings.write(AppInfo::settingsApplication(), QStringLiteral("Ports"), QStringLiteral("COM1"),
                   pty);
    settings.write(AppInfo::settingsApplication(), QStringLiteral("Startup"),
                   QStringLiteral("IPaddress"), QStringLiteral("127.0.0.1"));
    QtSerialPort serial(settings);
    QtUdpSocket udp;
    ScriptedFileDialog dialog;
    Platform platform{clock, pump, serial, udp, dialog, settings};
    Mainform form(platform);
    form.Form_Load();
    form.show();
    BoxCloser boxes(form);
    QVERIFY2(serial.isOpen(), qPrintable(boxes.texts.join('|')));
    if (ethernet) {
        form.session().chooseLink(Link::Ethernet);
    }
    dialog.choose(path);
    form.findChild<QPushButton*>(QStringLiteral("OpenPrograms"))->click();
    auto* start = form.findChild<QPushButton*>(QStringLiteral("StartDownload"));
    if (!ethernet) {
        sim.write("power-up\n");
        QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 5000);
    }
    QVERIFY(start->isEnabled());
    QElapsedTimer took;
    took.start();

    start->click();  // returns when the download has ended

    qInfo("%s took %.2f s", QTest::currentDataTag(), static_cast<double>(took.elapsed()) / 1000);
    QCOMPARE(boxes.texts, QStringList{message});
    const bool refused = model != "55";
    stop.dismiss();
    sim.write("quit\n");
    QVERIFY(sim.waitForFinished(10000));
    const QString out = QString::fromLocal8Bit(sim.readAllStandardOutput());
    QCOMPARE(out.contains(QLatin1String("result: identical")), !refused);
    QCOMPARE(sim.exitCode(), refused ? 1 : 0);
    QCOMPARE(form.session().serialState().CommSettings, QStringLiteral("9600,N,8,1"));
    QCOMPARE(serial.isOpen(), true);
    QCOMPARE(serial.settings(), QStringLiteral("9600,N,8,1"));
    if (!refused) {
        QCOMPARE(form.findChild<QLabel*>(QStringLiteral("DriveRev"))->text().left(4),
                 QStringLiteral("1.07"));
    }
    // Set to refresh the README's picture of a finished download.
    const QString picture = qEnvironmentVariable("KESTREL_DOWNLOAD_SCREENSHOT");
    if (!picture.isEmpty() && !ethernet && !refused) {
        QVERIFY(form.grab().save(picture));
    }
    form.session().Form_Unload();
    qunsetenv("XDG_DATA_HOME");
}

QTEST_MAIN(WindowDownloadTest)
#include "test_window_download.moc"
