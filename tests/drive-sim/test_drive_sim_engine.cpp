// The simulated drive's engine on simulated time. Serial: packets, commands,
// the boot loader, line and XON/XOFF pacing, the verdict. Ethernet: commands,
// acknowledgements, counts. Every download test leans on its verdict, so the
// verdict is tested at its edges: a byte short, a byte changed, a buffer full.
#include <QtTest>

#include "EngineBench.h"

using namespace kestrel;
using namespace kestrel::drivesim;
using namespace kestrel::testing;

namespace {
const QByteArray kIdentify = bytes({0, 8, 'C', 2});
const QByteArray kEnterBootLoader = datagram(8, QByteArray("B") + '\0' + "5827");
const QByteArray kAck = datagram(17);
const QByteArray kCount = datagram(16);
const QByteArray kBootLoaderBlank = bytes({0xF0, 0xFF, 55, 5});
const QByteArray kUpdated = bytes({0xFF, 6, 55});
}  // namespace

class DriveSimEngineTest : public QObject {
    Q_OBJECT
  private slots:
    void answersOnTheSerialLine_data() {
        QTest::addColumn<DriveOptions>("options");
        QTest::addColumn<QByteArray>("typed");  // none: a power-up
        QTest::addColumn<QByteArray>("heard");
        QTest::addColumn<int>("bitRate");  // the drive's line afterwards
        auto row = [](const char* name, auto change, QByteArray typed, QByteArray heard, int rate) {
            QTest::newRow(name) << optionsWith(change) << typed << heard << rate;
        };
        auto same = [](auto&) {};
        row("power-up", same, {}, bytes({0xFF, 5, 55}), 9600);
        row(
            "blank: boot loader", [](auto& o) { o.blank = true; }, {}, kBootLoaderBlank, 115200);
        row(
            "other family", [](auto& o) { o.otherFamily = true; }, {}, bytes({0xEF, 0, 0}), 9600);
        row(
            "LF and garbage in the packet",
            [](auto& o) {
                o.packetInsert = bytes({0x0A, 0x41});
            },
            {}, bytes({0xFF, 0x0A, 0x41, 5, 55}), 9600);
        row(
            "B5827, high-speed boot loader 53", [](auto& o) { o.bootLoaderVersion = 53; },
            "B5827\r", bytes({0xF0, 5, 55, 53}), 115200);
        row(
            "B5827, slow boot loader 2", [](auto& o) { o.bootLoaderVersion = 2; }, "B5827\r",
            bytes({0xF0, 5, 55, 2}), 9600);
        row("silent commands; unknown: letter ?", same, "QT\r00\rS\rq\rHM\rPR5\rXZ\r", "X?\r",
            9600);
        row("SA, SV; LF ignored", same, "\nSA\r\nSV\r\n", "OK\r105D\r", 9600);
    }

    void answersOnTheSerialLine() {
        QFETCH(DriveOptions, options);
        QFETCH(QByteArray, typed);
        QFETCH(QByteArray, heard);
        EngineBench bench(options);
        typed.isEmpty() ? bench.drive.powerUp() : bench.type(typed, 9600, 0.0);
        // A packet leaves at 9600 bit/s, a boot loader's once it has started.
        const bool packet = typed.isEmpty() || typed == "B5827\r";
        const double start = bench.time.now() + (packet && !typed.isEmpty() ? 0.05 : 0);
        bench.time.advanceBy(0.5);
        if (packet) {
            QCOMPARE(bench.serial.back().time, start + double(heard.size()) * 10.0 / 9600);
        }
        QCOMPARE(bench.takeSerial(), heard);
        QTEST(bench.drive.lineBitRate(), "bitRate");
    }

    void garblesBytesAtTheWrongBitRate() {
        EngineBench bench;
        bench.type("SV\r", 115200);  // a drive listening at 9600 hears nothing of it
        bench.type("SV\r");          // and nothing is left to spoil the next command
        QCOMPARE(bench.takeSerial(), QByteArray("105D\r"));
        bench.drive.hostBitRateChanged(115200);
        bench.drive.powerUp();  // its packet at 9600 reaches a host at 115200 as zeros
        bench.time.advanceBy(0.1);
        QCOMPARE(bench.takeSerial(), QByteArray(3, '\0'));
    }

    // A pty hands the host's bytes over all at once; the emulated line spaces them.
    void pacesTheHostWithXoffAndXon() {
        EngineBench bench(optionsWith([](auto& o) {
            o.rxBufferSize = 1000;
            o.xoffLevel = 500;
            o.xonLevel = 100;
            o.drainRate = 1000;
            o.dotEveryBytes = 0;
            o.lineRate = 115200;
        }));
        bench.enterBootLoader();
        // 600 bytes at 11520 a second against a drain of 1000: XOFF once byte 548
        // is in; 51 more come after it has reached the host (byte 549 was on the
        // line already). XON once the fill is down to 100.
        const double perByte = 10.0 / 115200;
        const double firstByte = bench.time.now() + perByte;
        bench.drive.hostSerialBytes(testImage(600), 115200);
        const double lastByte = firstByte + 599 * perByte;
        const double xonAt = lastByte + (600 - 599 * perByte * 1000 - 100) / 1000 + perByte;
        bench.time.advanceTo(xonAt - 0.0005);
        QCOMPARE(bench.serial.size(), size_t(1));
        QCOMPARE(bench.serial.at(0).time, lastByte - (600 - 548) * perByte + perByte);
        bench.time.advanceTo(xonAt + 1e-9);
        QCOMPARE(bench.serial.at(1).time, xonAt);
        QCOMPARE(bench.takeSerial(), "\x13\x11");
        bench.time.advanceBy(1.5);
        const auto v = bench.drive.lastVerdict();
        QVERIFY(v && v->overruns == 0 && v->xoffsSent == 1);
        QCOMPARE(v->mostBytesAfterXoff, 51);
        QCOMPARE(v->seconds, lastByte - firstByte);
    }

    void judgesTheSerialImageAfterASecondOfQuiet_data() {
        QTest::addColumn<DriveOptions>("options");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("verdict");   // fields it must show
        QTest::addColumn<QByteArray>("heard");  // until the restart's packet
        const QByteArray image = testImage(600);
        QByteArray changed = image;
        changed[599] = static_cast<char>(changed[599] ^ 0x80);
        auto row = [&](const char* name, auto change, QByteArray sent, const char* fields,
                       QByteArray heard) {
            QTest::newRow(name) << expecting(image, optionsWith(change)) << sent << QString(fields)
                                << heard;
        };
        auto same = [](auto&) {};
        // No drain: the buffer holds exactly its size, and then overruns.
        auto buffer = [](int size) {
            return [size](auto& o) {
                o.rxBufferSize = o.xoffLevel = size;
                o.drainRate = 1e-9;
            };
        };
        row("identical", same, image, "identical=yes first-difference=-1", ".." + kUpdated);
        row("last byte missing", same, image.left(599),
            "identical=no bytes=599 first-difference=599", ".." + kBootLoaderBlank);
        row("last byte changed", same, changed, "identical=no first-difference=599",
            ".." + kBootLoaderBlank);
        row(
            "E at byte 300", [](auto& o) { o.errorAtByte = 300; }, image,
            "bytes=300 error-sent=yes stopped=no", ".E" + kBootLoaderBlank);
        row(
            "silent from byte 300", [](auto& o) { o.stopAtByte = 300; }, image,
            "bytes=300 error-sent=no stopped=yes", ".");
        row("buffer just big enough", buffer(600), image,
            "identical=yes overruns=0 line-errors=0 after-xoff=0", "..\x13" + kUpdated);
        row("one byte beyond the buffer", buffer(599), image,
            "bytes=599 xoffs=1 overruns=1 line-errors=0 after-xoff=0", "..\x13" + kBootLoaderBlank);
        QTest::newRow("nothing to compare with")
            << DriveOptions() << image << "identical=unknown bytes=600 expected=0"
            << ".." + bytes({0xFF, 5, 55});
    }

    void judgesTheSerialImageAfterASecondOfQuiet() {
        QFETCH(DriveOptions, options);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, heard);
        EngineBench bench(options);
        bench.enterBootLoader();
        bench.type(sent.left(300), 115200, 0.0);
        bench.time.advanceBy(0.9);  // a pause is not the end
        bench.type(sent.mid(300), 115200, 0.0);
        const double lastByte = bench.time.now();
        bench.time.advanceTo(lastByte + 0.999);
        QVERIFY(bench.drive.verdicts().empty());
        bench.time.advanceTo(lastByte + 1.5);
        const auto v = bench.drive.lastVerdict();
        QVERIFY(v);
        QCOMPARE(v->time, lastByte + 1.0);
        QFETCH(QString, verdict);
        for (const QString& field : verdict.split(' ')) {
            QVERIFY2(v->describe().split(' ').contains(field), qPrintable(v->describe()));
        }
        QCOMPARE(bench.takeSerial(), heard);
        bench.drive.powerUp();  // a power cycle brings even a silent drive back
        bench.time.advanceBy(0.1);
        QCOMPARE(bench.takeSerial().size(), heard.endsWith(kBootLoaderBlank) ? 4 : 3);
    }

    void takesAnImageOverEthernetAndJudgesIt_data() {
        QTest::addColumn<DriveOptions>("options");
        // To 4 blocks, a count, a start datagram, the 5th block, a count; then
        // after the verdict to "C" and a count.
        QTest::addColumn<QList<QByteArray>>("replies");
        const QList<QByteArray> acks = {kAck, kAck, kAck, datagram(15, "."), kAck};
        auto count = [](int n) { return bytes({0, 16, 0, n}); };
        const QByteArray updated = bytes({0, 8, 6, 55});
        QTest::newRow("good image: restarts with the file's revision")
            << DriveOptions() << acks + QList{count(4), kAck, count(1), updated, count(0)};
        QTest::newRow("E at datagram 2: left without firmware")
            << optionsWith([](auto& o) { o.errorAtDatagram = 2; })
            << QList{kAck, kAck, datagram(15, "E"), count(2), count(0), count(0)};
        QTest::newRow("silent from datagram 3")
            << optionsWith([](auto& o) { o.stopAtDatagram = 3; }) << acks.mid(0, 3);
    }

    void takesAnImageOverEthernetAndJudgesIt() {
        QFETCH(DriveOptions, options);
        const QByteArray image = testImage(1000);
        EngineBench bench(expecting(image, options));
        bench.send(kEnterBootLoader);
        bench.send(kIdentify);  // the boot loader takes no commands
        for (qsizetype i = 0; i < image.size(); i += 200) {
            if (i == 800) {
                bench.send(kCount);
                bench.send(datagram(18));
            }
            bench.send(datagram(17, image.mid(i, 200)));
        }
        bench.send(kCount);
        QVERIFY(bench.drive.verdicts().empty());
        bench.time.advanceBy(1.5);
        bench.send(kIdentify);
        bench.send(kCount);
        QTEST(bench.takeDatagrams(), "replies");
        QVERIFY(bench.serial.empty());  // a restart is not announced over Ethernet
        const auto v = bench.drive.lastVerdict();
        QVERIFY(v && v->link == drivesim::Link::Ethernet);
        QCOMPARE(v->identical, options.errorAtDatagram < 0 && options.stopAtDatagram < 0);
        QCOMPARE(v->errorSent, options.errorAtDatagram >= 0);
        QCOMPARE(v->stopped, options.stopAtDatagram >= 0);
    }
};

QTEST_GUILESS_MAIN(DriveSimEngineTest)
#include "test_drive_sim_engine.moc"
