// The window (offscreen, on the real QtSerialPort and QtUdpSocket) and
// kestrel-flash, each against its own kestrel-drive-sim: identifying the
// drive, whole 64 KiB downloads over both links and a file refused. The
// drives must hear exactly the same from both, and judge every image byte.
#include <QtTest>

#include "WindowRun.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// What the host sent, in order. Left out is what depends on timing rather
// than on the host: how often the drive saw the line settings while they
// changed (consecutive repeats), bytes it judged sent at a bit rate it was not
// listening at, and, after the image's last data datagram, how many identity
// checks the host made (that depends on how soon the drive answered).
QStringList settled(const QStringList& lines) {
    QStringList kept;
    qsizetype lastData = -1;
    for (const QString& line : lines) {
        if (line.contains(QLatin1String("garbled")) || (!kept.isEmpty() && kept.last() == line)) {
            continue;
        }
        kept << line;
        if (line.contains(QLatin1String("data datagram"))) {
            lastData = kept.size() - 1;
        }
    }
    if (lastData < 0) {
        return kept;
    }
    QStringList checks = kept.mid(lastData + 1);
    checks.removeDuplicates();
    return kept.first(lastData + 1) + checks;
}

}  // namespace

class FlashSameWireTest : public QObject {
    Q_OBJECT
  private slots:
    void putsTheWindowsBytesOnTheWire_data() {
        QTest::addColumn<bool>("ethernet");
        QTest::addColumn<QByteArray>("model");  // of the file; none: identify only
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("identify") << false << QByteArray() << QString() << 0;
        QTest::newRow("serial") << false << QByteArray("55") << "Firmware Download is complete"
                                << 0;
        QTest::newRow("Ethernet") << true << QByteArray("55") << "Firmware Download Successful"
                                  << 0;
        QTest::newRow("serial, a file for another drive")
            << false << QByteArray("20")
            << "The Selected Firmware File cannot be loaded into the Attached Drive" << 6;
    }

    void putsTheWindowsBytesOnTheWire() {
        QFETCH(bool, ethernet);
        QFETCH(QByteArray, model);
        QFETCH(QString, message);
        QFETCH(int, exitCode);
        QTemporaryDir dir;
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
        auto unset = qScopeGuard([] { qunsetenv("XDG_DATA_HOME"); });
        const QString file = model.isEmpty() ? QString() : dir.filePath("Flash.E");
        QVERIFY(file.isEmpty() || writeFile(file, firmware(model, 64 * 1024 + 57)));
        // A roomy buffer: on a pty nothing paces the host but the drive's XOFF.
        QStringList drive{"--rx-buffer", "16384", "--drain-rate", "40000", "--quiet-time", "2"};
        if (!file.isEmpty()) {
            drive << "--firmware" << file;
        }
        const bool judged = exitCode == 0 && !file.isEmpty();  // "result: identical"

        SimDrive windowSim;
        QVERIFY(windowSim.start(drive));
        QCOMPARE(windowRun(windowSim, file, ethernet),
                 message.isEmpty() ? QStringList{} : QStringList{message});
        windowSim.quit();
        QVERIFY2(windowSim.hostLines.contains("serial host>  command \"QT\"") || ethernet,
                 qPrintable(windowSim.hostLines.join('\n')));
        QCOMPARE(windowSim.verdict.contains("result: identical"), judged);

        SimDrive flashSim;
        QVERIFY(flashSim.start(drive));
        FlashProcess flash;
        flash.start({ethernet ? "--ip" : "--port", ethernet ? "127.0.0.1" : flashSim.ptyPath,
                     file.isEmpty() ? "--identify" : file});
        if (!ethernet) {
            QVERIFY2(flash.waitForOutput("to power up"), flash.report());
            flashSim.powerUp();
        }
        QCOMPARE(flash.finish(60000), exitCode);
        QVERIFY2(flash.err.contains(message.toUtf8()), flash.report());
        flashSim.quit();
        QVERIFY2(settled(flashSim.hostLines) == settled(windowSim.hostLines),
                 qPrintable("kestrel-flash:\n" + flashSim.hostLines.join('\n') + "\nwindow:\n" +
                            windowSim.hostLines.join('\n')));
        QCOMPARE(flashSim.verdict.contains("result: identical"), judged);
    }
};

QTEST_MAIN(FlashSameWireTest)
#include "test_flash_same_wire.moc"
