// The window (offscreen, on the real QtSerialPort and QtUdpSocket) and
// kestrel-flash, each against its own kestrel-drive-sim: identifying the
// drive, and whole 64 KiB downloads over both links. The drives must hear exactly the same from
// both, and judge every image byte.
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
        QTest::addColumn<QString>("message");
        QTest::newRow("identify") << false << "";
        QTest::newRow("serial") << false << "Firmware Download is complete";
        QTest::newRow("Ethernet") << true << "Firmware Download Successful";
    }

    void putsTheWindowsBytesOnTheWire() {
        QFETCH(bool, ethernet);
        QFETCH(QString, message);
        QTemporaryDir dir;
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
        auto unset = qScopeGuard([] { qunsetenv("XDG_DATA_HOME"); });
        const QString file = message.isEmpty() ? QString() : dir.filePath("Flash.E");
        QVERIFY(file.isEmpty() || writeFile(file, firmware("55", 64 * 1024 + 57)));
        // A roomy buffer: on a pty nothing paces the host but the drive's XOFF.
        QStringList drive{"--rx-buffer", "16384", "--drain-rate", "40000", "--quiet-time", "2"};
        drive << (file.isEmpty() ? QStringList() : QStringList{"--firmware", file});
        const QByteArray judged = file.isEmpty() ? "" : "result: identical";

        SimDrive windowSim;
        QVERIFY(windowSim.start(drive));
        QCOMPARE(windowRun(windowSim, file, ethernet).join(""), message);
        windowSim.quit();
        QVERIFY2(windowSim.verdict.contains(judged), qPrintable(windowSim.verdict));

        SimDrive flashSim;
        QVERIFY(flashSim.start(drive));
        FlashProcess flash;
        flash.start({ethernet ? "--ip" : "--port", ethernet ? "127.0.0.1" : flashSim.ptyPath,
                     file.isEmpty() ? "--identify" : file});
        if (!ethernet) {
            QVERIFY2(flash.waitForOutput("to power up"), flash.report());
            flashSim.powerUp();
        }
        QCOMPARE(flash.finish(60000), 0);
        QVERIFY2(flash.err.contains(message.toUtf8()), flash.report());
        flashSim.quit();
        QVERIFY2(settled(flashSim.hostLines) == settled(windowSim.hostLines),
                 qPrintable("kestrel-flash:\n" + flashSim.hostLines.join('\n') + "\nwindow:\n" +
                            windowSim.hostLines.join('\n')));
        QVERIFY2(flashSim.verdict.contains(judged), qPrintable(flashSim.verdict));
    }
};

QTEST_MAIN(FlashSameWireTest)
#include "test_flash_same_wire.moc"
