// kestrel-flash downloading, as a process against kestrel-drive-sim on a
// pseudo-terminal and loopback UDP: two whole 64 KiB downloads confirmed by
// the drive, and every way a download ends made to happen by the drive's
// fault options, each with its own exit code.
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <csignal>

#include "FlashProcess.h"

using namespace kestrel::testing;

class FlashDownloadTest : public QObject {
    Q_OBJECT
  private slots:
    void endings_data();
    void endings();
};

namespace {

QByteArray firmware(const QByteArray& model, int imageSize) {
    QByteArray image(imageSize, '\0');
    for (int i = 0; i < imageSize; ++i) {
        image[i] = static_cast<char>((i * 13 + i / 251) & 0xFF);
    }
    return "1.06\r\n" + model + "\r\nxyz" + image;
}

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

// The drive's last word: "result: identical" only when the last image it
// took was the expected one, byte for byte.
QByteArray driveResult(SimDrive& sim) {
    sim.process.write("quit\n");
    sim.process.waitForFinished(5000);
    return sim.process.readAllStandardOutput();
}

}  // namespace

void FlashDownloadTest::endings_data() {
    // PTY: the drive's pty; DIR: the files (big.E 64 KiB, small.E 6000 bytes).
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("drive");  // kestrel-drive-sim's fault options
    QTest::addColumn<QString>("step");   // what happens while the download runs
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("err");  // a part of standard error
    const QString serial = "--port PTY ";
    const QString udp = "--ip 127.0.0.1 ";
    QTest::newRow("serial, 64 KiB") << serial + "DIR/big.E --json"
                                    << ""
                                    << "power-up" << 0 << "Firmware Download is complete";
    QTest::newRow("Ethernet, 64 KiB") << udp + "DIR/big.E --json"
                                      << ""
                                      << "" << 0 << "Firmware Download Successful";
    QTest::newRow("simulated") << "--simulate"
                               << ""
                               << "" << 0 << "Firmware Download is complete";
    QTest::newRow("no file") << serial + "NOTHING"
                             << ""
                             << "" << 7 << "No Firmware Download File was selected";
    QTest::newRow("file missing") << serial + "DIR/none.E"
                                  << ""
                                  << "" << 8 << "The File DIR/none.E could not be found";
    QTest::newRow("file empty") << udp + "DIR/empty.E"
                                << ""
                                << "" << 9 << "The Firmware file was empty";
    QTest::newRow("header unreadable") << serial + "DIR/bad.E"
                                       << ""
                                       << "" << 10 << "firmware file \"DIR/bad.E\" cannot";
    QTest::newRow("does not fit") << udp + "DIR/49.E"
                                  << ""
                                  << "" << 6 << "cannot be loaded into the Attached Drive";
    QTest::newRow("no drive") << "--ip 127.0.0.2 DIR/small.E"
                              << ""
                              << "" << 4 << "no drive answered at 127.0.0.2";
    QTest::newRow("drive error") << serial + "DIR/small.E"
                                 << "--error-at 3000"
                                 << "power-up" << 12 << "Drive sent back an error code";
    QTest::newRow("no count reply") << udp + "DIR/small.E"
                                    << "--ignore-count-queries --drop-acks 1"
                                    << "" << 13 << "Unable to get packet receive";
    QTest::newRow("dropped five times")
        << udp + "DIR/small.E"
        << "--drop-data 1"
        << "" << 14 << "dropped five times.\nYou may have too much traffic";
    QTest::newRow("send timeout") << serial + "DIR/small.E"
                                  << "--rx-buffer 2048 --xoff-level 1024 --xon-level 256 "
                                     "--drain-rate 1"
                                  << "power-up" << 15 << "Timeout waiting to send data to drive";
    QTest::newRow("drive silent") << serial + "DIR/small.E"
                                  << "--no-dots"
                                  << "power-up" << 16 << "The Drive is not responding to download";
    QTest::newRow("not saved") << serial + "DIR/small.E"
                               << "--no-sa-reply"
                               << "power-up" << 17 << "Firmware Download Failed";
    QTest::newRow("not confirmed") << udp + "DIR/small.E"
                                   << "--exit-after-verdict --linger 0 --quiet-time 0.3"
                                   << "" << 18 << "Firmware Download Failed";
    QTest::newRow("file shrank") << serial + "DIR/big.E"
                                 << ""
                                 << "power-up,truncate" << 19 << "An Unknown Error was encountered";
    QTest::newRow("port gone") << serial + "DIR/small.E"
                               << "--exit-after-verdict --linger 0"
                               << "power-up" << 20 << "Comm port could not be set to 9600";
    QTest::newRow("SIGTERM") << serial + "DIR/big.E --json"
                             << ""
                             << "power-up,SIGTERM" << 1 << "";
}

void FlashDownloadTest::endings() {
    QFETCH(QString, arguments);
    QFETCH(QString, drive);
    QFETCH(QString, step);
    QFETCH(int, exitCode);
    QFETCH(QString, err);
    FlashProcess flash;
    const QString dir = flash.home.path();
    const QByteArray big = firmware("57", 64 * 1024 + 57);
    writeFile(dir + "/big.E", big);
    writeFile(dir + "/small.E", firmware("57", 6000));
    writeFile(dir + "/49.E", firmware("49", 600));
    writeFile(dir + "/empty.E", "");
    writeFile(dir + "/bad.E", "\"1.06" + QByteArray(300, 'x'));
    const QString expected = dir + (arguments.contains("big.E") ? "/big.E" : "/small.E");
    // A pty has no wire to slow the host down: room for an XOFF heeded late.
    SimDrive sim;  // a KX-M1 (model 55) at 1.05, also on 127.0.0.1:7775
    QVERIFY(sim.start(QStringList{"--firmware", expected, "--quiet-time", "2", "--rx-buffer",
                                  "16384", "--drain-rate", "40000"} +
                      drive.split(' ', Qt::SkipEmptyParts)));
    auto paths = [&](QString text) { return text.replace("PTY", sim.ptyPath).replace("DIR", dir); };
    QStringList line = paths(arguments).split(' ');
    line.replaceInStrings(QRegularExpression("^NOTHING$"), QString());

    flash.start(line);
    if (step.startsWith("power-up")) {
        QVERIFY2(flash.waitForOutput("to power up"), qPrintable(flash.report()));
        sim.powerUp();
    }
    if (step.contains(',')) {
        QVERIFY2(flash.waitForOutput("progress 10%"), qPrintable(flash.report()));
        if (step.endsWith("truncate")) {
            QVERIFY(QFile::resize(dir + "/big.E", 20));
        } else {
            ::kill(static_cast<pid_t>(flash.process.processId()), SIGTERM);
        }
    }
    // Five resends of one datagram take 25 seconds.
    QCOMPARE(flash.finish(40000), exitCode);
    QVERIFY2(flash.err.contains(paths(err).toLocal8Bit()), qPrintable(flash.report()));
    if (arguments.contains("--json")) {
        const QJsonObject summary = QJsonDocument::fromJson(flash.out).object();
        QCOMPARE(summary.value("exitCode").toInt(), exitCode);
        if (exitCode == 0) {
            QCOMPARE(summary.value("bytesSent").toInteger(), big.size() - 13);
            QVERIFY(summary.value("driveAfter")
                        .toObject()
                        .value("revision")
                        .toString()
                        .startsWith("1.06"));
            qInfo("%s: %lld bytes in %.1f s", QTest::currentDataTag(),
                  summary.value("bytesSent").toInteger(), summary.value("seconds").toDouble());
        }
    }
    if (exitCode == 0 && !arguments.contains("--simulate")) {
        QVERIFY2(driveResult(sim).contains("result: identical"), qPrintable(flash.report()));
    }
    if (arguments.contains("--simulate")) {
        QVERIFY2(flash.out.contains("Simulated drive: identical=yes"), qPrintable(flash.report()));
    }
}

QTEST_GUILESS_MAIN(FlashDownloadTest)
#include "test_flash_download.moc"
