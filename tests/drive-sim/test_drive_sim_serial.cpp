// The simulated drive's serial side on simulated time: packets, commands, the
// boot loader, pacing, the image and its verdict.
#include <QtTest>

#include "EngineBench.h"

using namespace kestrel::drivesim;
using namespace kestrel::testing;

class DriveSimSerialTest : public QObject {
    Q_OBJECT
  private slots:
    void announcesItself_data() {
        QTest::addColumn<DriveOptions>("options");
        QTest::addColumn<QByteArray>("command");  // none: a power-up
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<int>("bitRate");  // the drive's line afterwards
        const QByteArray none;
        QTest::newRow("power-up packet") << DriveOptions() << none << bytes({0xFF, 5, 55}) << 9600;
        QTest::newRow("model code 0")
            << optionsWith([](auto& o) { o.modelCode = 0; }) << none << bytes({0xFF, 5, 0}) << 9600;
        QTest::newRow("blank drive: boot-loader packet")
            << optionsWith([](auto& o) { o.blank = true; }) << none << bytes({0xF0, 0xFF, 55, 5})
            << 115200;
        QTest::newRow("other family") << optionsWith([](auto& o) { o.otherFamily = true; }) << none
                                      << bytes({0xEF, 0, 0}) << 9600;
        QTest::newRow("LF and garbage inside the packet") << optionsWith([](auto& o) {
            o.packetInsert = bytes({0x0A, 0x41});
        }) << none << bytes({0xFF, 0x0A, 0x41, 5, 55}) << 9600;
        QTest::newRow("B5827: high-speed boot loader")
            << DriveOptions() << QByteArray("B5827\r") << bytes({0xF0, 5, 55, 5}) << 115200;
        QTest::newRow("B5827: slow boot loader")
            << optionsWith([](auto& o) { o.bootLoaderVersion = 2; }) << QByteArray("B5827\r")
            << bytes({0xF0, 5, 55, 2}) << 9600;
    }

    void announcesItself() {
        QFETCH(DriveOptions, options);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, packet);
        QFETCH(int, bitRate);
        EngineBench bench(options);
        if (command.isEmpty()) {
            bench.drive.powerUp();
        } else {
            bench.type(command, 9600, 0.0);
        }
        // The packet leaves at 9600 bit/s, a boot loader's once it has started.
        const double start = bench.time.now() + (command.isEmpty() ? 0.0 : options.bootEntryDelay);
        bench.time.advanceBy(0.5);
        QCOMPARE(bench.serial.at(0).time, start + 10.0 / 9600);
        QCOMPARE(bench.serial.at(size_t(packet.size()) - 1).time,
                 start + double(packet.size()) * 10.0 / 9600);
        QCOMPARE(bench.takeSerial(), packet);
        QCOMPARE(bench.drive.lineBitRate(), bitRate);
    }

    void answersCommands_data() {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<DriveOptions>("options");
        QTest::addColumn<QByteArray>("reply");
        for (const char* silent : {"QT", "00", "S", "q", "HM", "PR5"}) {
            QTest::addRow("%s is taken silently", silent)
                << QByteArray(silent) + '\r' << DriveOptions() << QByteArray();
        }
        QTest::newRow("SA a line, SV revision and suffix; LF ignored")
            << QByteArray("\nSA\r\nSV\r\n") << DriveOptions() << QByteArray("OK\r105D\r");
        QTest::newRow("no reply to SA and SV")
            << QByteArray("SA\rSV\r")
            << optionsWith([](auto& o) { o.replyToSA = o.replyToSV = false; }) << QByteArray();
        QTest::newRow("unknown: second byte ?")
            << QByteArray("XZ\r") << DriveOptions() << QByteArray("X?\r");
    }

    void answersCommands() {
        QFETCH(QByteArray, command);
        QFETCH(DriveOptions, options);
        QFETCH(QByteArray, reply);
        EngineBench bench(options);
        bench.type(command);
        QCOMPARE(bench.takeSerial(), reply);
        QCOMPARE(bench.drive.mode(), SimulatedDrive::Mode::Firmware);
    }

    void garblesBytesAtTheWrongBitRate() {
        // (A boot loader taking an image at the wrong rate: see the in-process link.)
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
        DriveOptions options;
        options.rxBufferSize = 1000;
        options.xoffLevel = 500;
        options.xonLevel = 100;
        options.drainRate = 1000;
        options.dotEveryBytes = 0;
        EngineBench bench(options);
        bench.enterBootLoader();
        // 600 bytes at 115200 bit/s: the buffer fills at 11520 bytes a second and
        // drains at 1000, so XOFF leaves once byte 548 is in; the host goes on
        // anyway. Nothing else comes: no "." with a cadence of 0.
        const double perByte = 10.0 / 115200;
        bench.type(testImage(600), 115200, 0.0);
        const double lastByte = bench.time.now();
        QCOMPARE(bench.serial.at(0).time, lastByte - (600 - 548) * perByte + perByte);
        QCOMPARE(bench.takeSerial(), QByteArray(1, 0x13));
        // XON once the 600 bytes, less what drained while they came, are down to 100.
        const double xonAt = lastByte + (600 - 599 * perByte * 1000 - 100) / 1000 + perByte;
        bench.time.advanceTo(xonAt - 0.001);
        QVERIFY(bench.serial.empty());
        bench.time.advanceTo(xonAt + 1e-9);
        QCOMPARE(bench.serial.size(), size_t(1));
        QCOMPARE(bench.serial.at(0).data, QByteArray(1, 0x11));
        QCOMPARE(bench.serial.at(0).time, xonAt);
    }

    void sendsDotsAtItsCadence() {
        // (The default cadence shows over the pty; none at all while pacing.)
        EngineBench bench(optionsWith([](auto& o) { o.dotEveryBytes = 100; }));
        bench.enterBootLoader();
        bench.type(testImage(100), 115200, 0.0);
        const double firstDotDue = bench.time.now() + 10.0 / 115200;  // as soon as its byte is in
        bench.type(testImage(1000).mid(100), 115200, 0.5);
        QCOMPARE(bench.serial.at(0).time, firstDotDue);
        QCOMPARE(bench.takeSerial(), QByteArray(10, '.'));
    }

    void judgesTheImageAfterASecondOfQuiet_data() {
        const QByteArray image = testImage(600);
        QTest::addColumn<bool>("known");  // a firmware file to compare with
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("identical");
        QTest::addColumn<qint64>("firstDifference");
        QByteArray changed = image;
        changed[123] = static_cast<char>(changed[123] ^ 0x01);
        QByteArray lastChanged = image;
        lastChanged[599] = static_cast<char>(lastChanged[599] ^ 0x80);
        QTest::newRow("identical") << true << image << true << qint64(-1);
        QTest::newRow("last byte missing") << true << image.left(599) << false << qint64(599);
        QTest::newRow("one byte extra") << true << image + 'x' << false << qint64(600);
        QTest::newRow("one byte changed") << true << changed << false << qint64(123);
        QTest::newRow("last byte changed") << true << lastChanged << false << qint64(599);
        QTest::newRow("nothing to compare with") << false << image << false << qint64(-1);
    }

    void judgesTheImageAfterASecondOfQuiet() {
        QFETCH(bool, known);
        QFETCH(QByteArray, sent);
        QFETCH(bool, identical);
        QFETCH(qint64, firstDifference);
        EngineBench bench(known ? expecting(testImage(600)) : DriveOptions{});
        bench.enterBootLoader();
        bench.type(sent.left(300), 115200, 0.0);
        bench.time.advanceBy(0.9);  // a pause is not the end
        bench.type(sent.mid(300), 115200, 0.0);
        const double lastByte = bench.time.now();
        bench.time.advanceTo(lastByte + 0.999);
        QVERIFY(bench.drive.verdicts().empty());
        bench.time.advanceTo(lastByte + 1.0);
        const auto verdict = bench.drive.lastVerdict();
        QVERIFY(verdict);
        QCOMPARE(verdict->time, lastByte + 1.0);
        QCOMPARE(verdict->expectedKnown, known);
        QCOMPARE(verdict->identical, identical);
        QCOMPARE(verdict->firstDifference, firstDifference);
        QCOMPARE(verdict->bytesReceived, sent.size());
        // A good image brings the file's revision; a broken one leaves only the
        // boot loader, which says so; without a file the drive keeps its own.
        bench.takeSerial();
        bench.time.advanceBy(0.5);
        QCOMPARE(bench.takeSerial(), identical ? bytes({0xFF, 6, 55})
                                     : known   ? bytes({0xF0, 0xFF, 55, 5})
                                               : bytes({0xFF, 5, 55}));
    }

    void failsAtTheChosenByte_data() {
        QTest::addColumn<DriveOptions>("options");
        QTest::addColumn<QByteArray>("heard");         // with the restart the verdict brings
        QTest::addColumn<QByteArray>("afterPowerUp");  // and an "SV"
        const QByteArray bootLoader = bytes({0xF0, 0xFF, 55, 5});
        QTest::newRow("E at byte 300")
            << optionsWith([](auto& o) { o.errorAtByte = 300; }) << ".E" + bootLoader << bootLoader;
        QTest::newRow("silent from byte 300") << optionsWith([](auto& o) { o.stopAtByte = 300; })
                                              << QByteArray(".") << bytes({0xFF, 5, 55}) + "105D\r";
    }

    void failsAtTheChosenByte() {
        QFETCH(DriveOptions, options);
        QFETCH(QByteArray, heard);
        QFETCH(QByteArray, afterPowerUp);
        EngineBench bench(expecting(testImage(600), options));
        bench.enterBootLoader();
        bench.type(testImage(600), 115200, 2.0);
        QCOMPARE(bench.takeSerial(), heard);
        const auto verdict = bench.drive.lastVerdict();
        QVERIFY(verdict);
        QVERIFY(!verdict->identical);
        QCOMPARE(verdict->errorSent, options.errorAtByte >= 0);
        QCOMPARE(verdict->stopped, options.stopAtByte >= 0);
        QCOMPARE(verdict->bytesReceived, 300);
        // A power cycle brings it back.
        bench.drive.powerUp();
        bench.type("SV\r", 9600, 0.1);
        QCOMPARE(bench.takeSerial(), afterPowerUp);
    }
};

QTEST_GUILESS_MAIN(DriveSimSerialTest)
#include "test_drive_sim_serial.moc"
