// The simulated drive's serial side on simulated time: packets, commands, the
// boot loader, pacing, the image and its verdict.
#include <QtTest>

#include "EngineBench.h"

using namespace kestrel::drivesim;
using namespace kestrel::testing;

namespace {
struct Talk {
    DriveOptions options;
    QByteArray typed;  // none: a power-up
    QByteArray heard;
    int bitRate;  // the drive's line afterwards
};
struct Image {
    DriveOptions options;
    QByteArray sent;
    QString verdict;   // fields it must show
    QByteArray heard;  // until the restart's packet
};
}  // namespace
Q_DECLARE_METATYPE(Talk)
Q_DECLARE_METATYPE(Image)

class DriveSimSerialTest : public QObject {
    Q_OBJECT
  private slots:
    void answers_data() {
        QTest::addColumn<Talk>("talk");
        const QByteArray B = "B5827\r";
        QTest::newRow("power-up") << Talk{{}, {}, bytes({0xFF, 5, 55}), 9600};
        QTest::newRow("blank: boot loader") << Talk{
            optionsWith([](auto& o) { o.blank = true; }), {}, bytes({0xF0, 0xFF, 55, 5}), 115200};
        QTest::newRow("other family") << Talk{
            optionsWith([](auto& o) { o.otherFamily = true; }), {}, bytes({0xEF, 0, 0}), 9600};
        QTest::newRow("LF and garbage in the packet")
            << Talk{optionsWith([](auto& o) {
                        o.packetInsert = bytes({0x0A, 0x41});
                    }),
                    {},
                    bytes({0xFF, 0x0A, 0x41, 5, 55}),
                    9600};
        QTest::newRow("B5827, high-speed boot loader 53")
            << Talk{optionsWith([](auto& o) { o.bootLoaderVersion = 53; }), B,
                    bytes({0xF0, 5, 55, 53}), 115200};
        QTest::newRow("B5827, slow boot loader 2")
            << Talk{optionsWith([](auto& o) { o.bootLoaderVersion = 2; }), B,
                    bytes({0xF0, 5, 55, 2}), 9600};
        QTest::newRow("silent commands; unknown: letter ?")
            << Talk{{}, "QT\r00\rS\rq\rHM\rPR5\rXZ\r", "X?\r", 9600};
        QTest::newRow("SA, SV; LF ignored") << Talk{{}, "\nSA\r\nSV\r\n", "OK\r105D\r", 9600};
        QTest::newRow("no reply to SA and SV") << Talk{
            optionsWith([](auto& o) { o.replyToSA = o.replyToSV = false; }), "SA\rSV\r", {}, 9600};
    }

    void answers() {
        QFETCH(Talk, talk);
        EngineBench bench(talk.options);
        talk.typed.isEmpty() ? bench.drive.powerUp() : bench.type(talk.typed, 9600, 0.0);
        // A packet leaves at 9600 bit/s, a boot loader's once it has started.
        const double start =
            bench.time.now() + (talk.typed == "B5827\r" ? talk.options.bootEntryDelay : 0);
        bench.time.advanceBy(0.5);
        if (talk.typed.isEmpty() || talk.typed == "B5827\r") {
            QCOMPARE(bench.serial.back().time, start + double(talk.heard.size()) * 10.0 / 9600);
        }
        QCOMPARE(bench.takeSerial(), talk.heard);
        QCOMPARE(bench.drive.lineBitRate(), talk.bitRate);
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

    void pacesTheHostWithXoffAndXon() {
        EngineBench bench(optionsWith([](auto& o) {
            o.rxBufferSize = 1000;
            o.xoffLevel = 500;
            o.xonLevel = 100;
            o.drainRate = 1000;
            o.dotEveryBytes = 0;
        }));
        bench.enterBootLoader();
        // 600 bytes at 11520 a second against a drain of 1000: XOFF once byte 548
        // is in; the host goes on anyway. XON once the fill is down to 100.
        const double perByte = 10.0 / 115200;
        bench.type(testImage(600), 115200, 0.0);
        const double lastByte = bench.time.now();
        const double xonAt = lastByte + (600 - 599 * perByte * 1000 - 100) / 1000 + perByte;
        bench.time.advanceTo(xonAt - 0.0005);
        QCOMPARE(bench.serial.size(), size_t(1));
        QCOMPARE(bench.serial.at(0).time, lastByte - (600 - 548) * perByte + perByte);
        bench.time.advanceTo(xonAt + 1e-9);
        QCOMPARE(bench.serial.at(1).time, xonAt);
        QCOMPARE(bench.takeSerial(), "\x13\x11");
    }

    void judgesTheImageAfterASecondOfQuiet_data() {
        QTest::addColumn<Image>("row");
        const QByteArray image = testImage(600);
        const DriveOptions known = expecting(image);
        QByteArray changed = image;
        changed[599] = static_cast<char>(changed[599] ^ 0x80);
        const QByteArray bootLoader = bytes({0xF0, 0xFF, 55, 5});
        const QByteArray updated = bytes({0xFF, 6, 55});
        auto fail = [&](auto change) { return expecting(image, optionsWith(change)); };
        // No drain: the buffer holds exactly its size, and then overruns.
        auto buffer = [&](int size) {
            return fail([size](auto& o) {
                o.rxBufferSize = o.xoffLevel = size;
                o.drainRate = 1e-9;
            });
        };
        QTest::newRow("identical")
            << Image{known, image, "identical=yes first-difference=-1", ".." + updated};
        QTest::newRow("last byte missing")
            << Image{known, image.left(599), "identical=no bytes=599 first-difference=599",
                     ".." + bootLoader};
        QTest::newRow("one byte extra")
            << Image{known, image + 'x', "bytes=601 first-difference=600", ".." + bootLoader};
        QTest::newRow("last byte changed")
            << Image{known, changed, "identical=no first-difference=599", ".." + bootLoader};
        QTest::newRow("nothing to compare with") << Image{
            {}, image, "identical=unknown bytes=600 expected=0", ".." + bytes({0xFF, 5, 55})};
        QTest::newRow("E at byte 300")
            << Image{fail([](auto& o) { o.errorAtByte = 300; }), image,
                     "bytes=300 error-sent=yes stopped=no", ".E" + bootLoader};
        QTest::newRow("silent from byte 300")
            << Image{fail([](auto& o) { o.stopAtByte = 300; }), image,
                     "bytes=300 error-sent=no stopped=yes", "."};
        QTest::newRow("buffer just big enough") << Image{
            buffer(600), image, "identical=yes overruns=0 line-errors=0", "..\x13" + updated};
        QTest::newRow("one byte beyond the buffer")
            << Image{buffer(599), image, "bytes=599 xoffs=1 overruns=1 line-errors=0",
                     "..\x13" + bootLoader};
    }

    void judgesTheImageAfterASecondOfQuiet() {
        QFETCH(Image, row);
        EngineBench bench(row.options);
        bench.enterBootLoader();
        bench.type(row.sent.left(300), 115200, 0.0);
        bench.time.advanceBy(0.9);  // a pause is not the end
        bench.type(row.sent.mid(300), 115200, 0.0);
        const double lastByte = bench.time.now();
        bench.time.advanceTo(lastByte + 0.999);
        QVERIFY(bench.drive.verdicts().empty());
        bench.time.advanceTo(lastByte + 1.5);
        const auto v = bench.drive.lastVerdict();
        QVERIFY(v);
        QCOMPARE(v->time, lastByte + 1.0);
        for (const QString& field : row.verdict.split(' ')) {
            QVERIFY2(v->describe().split(' ').contains(field), qPrintable(v->describe()));
        }
        QCOMPARE(bench.takeSerial(), row.heard);
        bench.drive.powerUp();  // a power cycle brings even a silent drive back
        bench.time.advanceBy(0.1);
        QCOMPARE(bench.takeSerial().size(), row.heard.endsWith(bytes({0xF0, 0xFF, 55, 5})) ? 4 : 3);
    }
};

QTEST_GUILESS_MAIN(DriveSimSerialTest)
#include "test_drive_sim_serial.moc"
