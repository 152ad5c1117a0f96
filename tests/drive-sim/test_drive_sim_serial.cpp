// The simulated drive's serial side on simulated time: packets, commands, the
// boot loader, the image and its verdict.
#include <QtTest>

#include "Bytes.h"
#include "EngineBench.h"

using namespace kestrel::drivesim;
using namespace kestrel::testing;

namespace {

// Puts the bench's drive into its boot loader and drops the announcement.
void enterBootLoader(EngineBench& bench) {
    bench.type("B5827\r");
    bench.time.advanceBy(0.1);
    bench.takeSerial();
}

}  // namespace

class DriveSimSerialTest : public QObject {
    Q_OBJECT
  private slots:
    void announcesItselfAtPowerUp_data();
    void announcesItselfAtPowerUp();
    void answersCommands_data();
    void answersCommands();
    void entersTheBootLoader_data();
    void entersTheBootLoader();
    void garblesBytesAtTheWrongBitRate();
    void pacesTheHostWithXoffAndXon();
    void sendsDotsAtItsCadence_data();
    void sendsDotsAtItsCadence();
    void endsTheImageAfterASecondOfQuiet();
    void verifiesByteForByte_data();
    void verifiesByteForByte();
    void withoutAnExpectedImageKeepsItsRevision();
    void sendsEAtTheChosenByte();
    void stopsAnsweringAtTheChosenByte();
};

void DriveSimSerialTest::announcesItselfAtPowerUp_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<bool>("blank");
    QTest::addColumn<bool>("otherFamily");
    QTest::addColumn<QByteArray>("insert");
    QTest::addColumn<QByteArray>("packet");
    QTest::newRow("power-up packet")
        << 55 << false << false << QByteArray() << bytes({0xFF, 0x05, 55});
    QTest::newRow("model code 0") << 0 << false << false << QByteArray() << bytes({0xFF, 0x05, 0});
    QTest::newRow("blank drive: boot-loader packet")
        << 55 << true << false << QByteArray() << bytes({0xF0, 0xFF, 55, 5});
    QTest::newRow("other family") << 55 << false << true << QByteArray() << bytes({0xEF, 0, 0});
    QTest::newRow("LF inside the packet")
        << 55 << false << false << QByteArray("\n") << bytes({0xFF, 0x0A, 0x05, 55});
    QTest::newRow("garbage inside the packet")
        << 55 << false << false << bytes({0x41, 0x42}) << bytes({0xFF, 0x41, 0x42, 0x05, 55});
}

void DriveSimSerialTest::announcesItselfAtPowerUp() {
    QFETCH(int, model);
    QFETCH(bool, blank);
    QFETCH(bool, otherFamily);
    QFETCH(QByteArray, insert);
    QFETCH(QByteArray, packet);
    DriveOptions options;
    options.modelCode = model;
    options.blank = blank;
    options.otherFamily = otherFamily;
    options.packetInsert = insert;
    EngineBench bench(options);
    bench.drive.powerUp();
    bench.time.advanceBy(0.1);
    QCOMPARE(bench.takeSerial(), packet);
    QVERIFY(bench.drive.transcriptText().contains(QStringLiteral("power up")));
}

void DriveSimSerialTest::answersCommands_data() {
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("revision");
    QTest::addColumn<bool>("replyToSA");
    QTest::addColumn<bool>("replyToSV");
    QTest::addColumn<QByteArray>("reply");
    for (const char* silent : {"QT", "00", "S", "q", "HM", "PR5"}) {
        QTest::addRow("%s is taken silently", silent)
            << QByteArray(silent) + '\r' << 5 << true << true << QByteArray();
    }
    QTest::newRow("SA replies with a line")
        << QByteArray("SA\r") << 5 << true << true << QByteArray("OK\r");
    QTest::newRow("SV replies revision and suffix")
        << QByteArray("SV\r") << 6 << true << true << QByteArray("106D\r");
    QTest::newRow("SV at revision 0")
        << QByteArray("SV\r") << 0 << true << true << QByteArray("100D\r");
    QTest::newRow("SA without reply") << QByteArray("SA\r") << 5 << false << true << QByteArray();
    QTest::newRow("SV without reply") << QByteArray("SV\r") << 5 << true << false << QByteArray();
    QTest::newRow("unknown command: second byte ?")
        << QByteArray("XZ\r") << 5 << true << true << QByteArray("X?\r");
    QTest::newRow("commands are case-sensitive")
        << QByteArray("sa\r") << 5 << true << true << QByteArray("s?\r");
    QTest::newRow("LF around a command is ignored")
        << QByteArray("\nSA\r\n") << 5 << true << true << QByteArray("OK\r");
    QTest::newRow("an empty line gets nothing")
        << QByteArray("\r") << 5 << true << true << QByteArray();
    QTest::newRow("two commands, two replies")
        << QByteArray("SA\rSV\r") << 5 << true << true << QByteArray("OK\r105D\r");
}

void DriveSimSerialTest::answersCommands() {
    QFETCH(QByteArray, command);
    QFETCH(int, revision);
    QFETCH(bool, replyToSA);
    QFETCH(bool, replyToSV);
    QFETCH(QByteArray, reply);
    DriveOptions options;
    options.revision = revision;
    options.replyToSA = replyToSA;
    options.replyToSV = replyToSV;
    EngineBench bench(options);
    bench.type(command);
    QCOMPARE(bench.takeSerial(), reply);
    QCOMPARE(bench.drive.mode(), SimulatedDrive::Mode::Firmware);
}

void DriveSimSerialTest::entersTheBootLoader_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("imageRate");
    QTest::newRow("high-speed boot loader") << 5 << 115200;
    QTest::newRow("high-speed boot loader 0x35") << 0x35 << 115200;
    QTest::newRow("slow boot loader") << 2 << 9600;
}

void DriveSimSerialTest::entersTheBootLoader() {
    QFETCH(int, version);
    QFETCH(int, imageRate);
    DriveOptions options;
    options.bootLoaderVersion = version;
    EngineBench bench(options);
    bench.type("B5827\r", 9600, 0.0);
    const double entered = bench.time.now();
    bench.time.advanceBy(0.5);
    QCOMPARE(bench.drive.mode(), SimulatedDrive::Mode::BootLoader);
    // The packet follows once the boot loader has started, still at 9600 bit/s.
    QCOMPARE(bench.serial.size(), size_t(4));
    QCOMPARE(bench.serial.front().time,
             entered + bench.drive.options().bootEntryDelay + 10.0 / 9600);
    QCOMPARE(bench.serial.back().time - bench.serial.front().time, 3 * 10.0 / 9600);
    QCOMPARE(bench.takeSerial(), bytes({0xF0, 0x05, 55, version}));
    QCOMPARE(bench.drive.lineBitRate(), imageRate);
}

void DriveSimSerialTest::garblesBytesAtTheWrongBitRate() {
    DriveOptions options;
    options.firmwareFile = firmwareFile(testImage(300));
    EngineBench bench(options);
    // A firmware drive listening at 9600 hears nothing of a command at 115200.
    bench.type("SV\r", 115200);
    QCOMPARE(bench.takeSerial(), QByteArray());

    // Its boot loader at 115200 takes a 9600 image as zeros.
    enterBootLoader(bench);
    bench.type(testImage(300), 9600, 1.5);
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY(verdict);
    QVERIFY(!verdict->identical);
    QCOMPARE(verdict->lineErrors, 300);
    QCOMPARE(verdict->bytesReceived, 300);
    QVERIFY(bench.drive.transcriptText().contains(
        QStringLiteral("host sends at 9600 bit/s, drive listens at 115200: garbled")));

    // Its 9600 packets reach a host listening at 115200 as zeros.
    bench.takeSerial();
    bench.drive.hostBitRateChanged(115200);
    bench.drive.powerUp();
    bench.time.advanceBy(0.1);
    QCOMPARE(bench.takeSerial(), QByteArray(4, '\0'));
}

void DriveSimSerialTest::pacesTheHostWithXoffAndXon() {
    DriveOptions options;
    options.rxBufferSize = 1000;
    options.xoffLevel = 500;
    options.xonLevel = 100;
    options.drainRate = 1000;
    options.dotEveryBytes = 0;
    EngineBench bench(options);
    enterBootLoader(bench);
    // 600 bytes at 115200 bit/s: the buffer fills at 11520 bytes a second and
    // drains at 1000, so XOFF comes about byte 548; the host goes on anyway.
    const double perByte = 10.0 / 115200;
    bench.type(testImage(600), 115200, 0.0);
    const double lastByte = bench.time.now();
    const double firstByte = lastByte - 599 * perByte;
    QCOMPARE(bench.takeSerial(), QByteArray(1, 0x13));
    // XON once the 600 bytes, less what drained while they came, are down to 100.
    const double fill = 600 - (lastByte - firstByte) * 1000;
    bench.time.advanceTo(lastByte + (fill - 100) / 1000 - 0.001);
    QVERIFY(bench.serial.empty());
    bench.time.advanceTo(lastByte + (fill - 100) / 1000 + perByte + 1e-9);
    QCOMPARE(bench.serial.size(), size_t(1));
    QCOMPARE(bench.serial.front().data, QByteArray(1, 0x11));
    QCOMPARE(bench.serial.front().time, lastByte + (fill - 100) / 1000 + perByte);
    bench.time.advanceBy(1.5);
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY(verdict);
    QCOMPARE(verdict->xoffsSent, 1);
    QCOMPARE(verdict->overruns, 0);
    QCOMPARE(verdict->bytesReceived, 600);
}

void DriveSimSerialTest::sendsDotsAtItsCadence_data() {
    QTest::addColumn<int>("every");
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<int>("dots");
    QTest::newRow("every 256 bytes") << 256 << 1000 << 3;
    QTest::newRow("exactly at the end") << 256 << 768 << 3;
    QTest::newRow("every 100 bytes") << 100 << 1000 << 10;
    QTest::newRow("never") << 0 << 1000 << 0;
}

void DriveSimSerialTest::sendsDotsAtItsCadence() {
    QFETCH(int, every);
    QFETCH(int, imageSize);
    QFETCH(int, dots);
    DriveOptions options;
    options.dotEveryBytes = every;
    EngineBench bench(options);
    enterBootLoader(bench);
    const QByteArray image = testImage(imageSize);
    double dotAfterByte = 0.0;
    bench.type(image.left(every > 0 ? every : 1), 115200, 0.0);
    dotAfterByte = bench.time.now();
    bench.type(image.mid(every > 0 ? every : 1), 115200, 0.5);
    QByteArray sent;
    for (const auto& s : bench.serial) {
        sent += s.data;
    }
    QCOMPARE(sent.count('.'), dots);
    QCOMPARE(sent.size(), dots);
    if (dots > 0) {
        // The first "." leaves as soon as its byte is in: one character later.
        QCOMPARE(bench.serial.front().time, dotAfterByte + 10.0 / 115200);
    }
}

void DriveSimSerialTest::endsTheImageAfterASecondOfQuiet() {
    const QByteArray image = testImage(600);
    DriveOptions options;
    options.firmwareFile = firmwareFile(image, "1.06");
    EngineBench bench(options);
    enterBootLoader(bench);
    bench.type(image.left(300), 115200, 0.0);
    bench.time.advanceBy(0.9);  // a pause is not the end
    bench.type(image.mid(300), 115200, 0.0);
    const double lastByte = bench.time.now();
    bench.time.advanceTo(lastByte + 0.999);
    QVERIFY(bench.drive.verdicts().empty());
    bench.time.advanceTo(lastByte + 1.0);
    QCOMPARE(bench.drive.verdicts().size(), size_t(1));
    const Verdict verdict = bench.drive.verdicts().front();
    QVERIFY2(verdict.identical, qPrintable(bench.drive.transcriptText()));
    QCOMPARE(verdict.time, lastByte + 1.0);
    QCOMPARE(verdict.bytesReceived, 600);
    QCOMPARE(verdict.firstDifference, -1);

    // It restarts with the file's revision and announces it at 9600 bit/s.
    bench.takeSerial();
    bench.time.advanceBy(0.5);
    QCOMPARE(bench.takeSerial(), bytes({0xFF, 0x06, 55}));
    QCOMPARE(bench.drive.mode(), SimulatedDrive::Mode::Firmware);
    QCOMPARE(bench.drive.lineBitRate(), 9600);
    bench.type("PR5\rSA\rSV\r");
    QCOMPARE(bench.takeSerial(), QByteArray("OK\r106D\r"));
}

void DriveSimSerialTest::verifiesByteForByte_data() {
    const QByteArray image = testImage(600);
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("identical");
    QTest::addColumn<qint64>("firstDifference");
    QByteArray changed = image;
    changed[123] = static_cast<char>(changed[123] ^ 0x01);
    QByteArray lastChanged = image;
    lastChanged[599] = static_cast<char>(lastChanged[599] ^ 0x80);
    QTest::newRow("identical") << image << true << qint64(-1);
    QTest::newRow("last byte missing") << image.left(599) << false << qint64(599);
    QTest::newRow("a middle byte missing")
        << QByteArray(image).remove(300, 1) << false << qint64(300);
    QTest::newRow("one byte extra") << image + 'x' << false << qint64(600);
    QTest::newRow("one byte changed") << changed << false << qint64(123);
    QTest::newRow("last byte changed") << lastChanged << false << qint64(599);
    QTest::newRow("a block sent twice")
        << image.left(256) + image.mid(0, 256) + image.mid(256) << false << qint64(256);
}

void DriveSimSerialTest::verifiesByteForByte() {
    QFETCH(QByteArray, sent);
    QFETCH(bool, identical);
    QFETCH(qint64, firstDifference);
    DriveOptions options;
    options.firmwareFile = firmwareFile(testImage(600));
    EngineBench bench(options);
    enterBootLoader(bench);
    bench.type(sent, 115200, 1.0);
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY(verdict);
    QVERIFY(verdict->expectedKnown);
    QCOMPARE(verdict->identical, identical);
    QCOMPARE(verdict->firstDifference, firstDifference);
    QCOMPARE(verdict->bytesReceived, sent.size());
    QCOMPARE(verdict->bytesExpected, 600);
    bench.takeSerial();
    bench.time.advanceBy(0.5);
    if (identical) {
        QCOMPARE(bench.takeSerial(), bytes({0xFF, 0x06, 55}));
    } else {
        // A broken image leaves only the boot loader, which says so.
        QCOMPARE(bench.takeSerial(), bytes({0xF0, 0xFF, 55, 5}));
        QVERIFY(bench.drive.isBlank());
        QCOMPARE(bench.drive.mode(), SimulatedDrive::Mode::BootLoader);
    }
}

void DriveSimSerialTest::withoutAnExpectedImageKeepsItsRevision() {
    EngineBench bench;
    enterBootLoader(bench);
    bench.type(testImage(100), 115200, 1.5);
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY(verdict);
    QVERIFY(!verdict->expectedKnown);
    QVERIFY(!verdict->identical);
    QVERIFY(verdict->describe().startsWith(QStringLiteral("identical=unknown")));
    QCOMPARE(bench.takeSerial(), bytes({0xFF, 0x05, 55}));
}

void DriveSimSerialTest::sendsEAtTheChosenByte() {
    DriveOptions options;
    options.firmwareFile = firmwareFile(testImage(300));
    options.errorAtByte = 100;
    options.dotEveryBytes = 0;
    EngineBench bench(options);
    enterBootLoader(bench);
    bench.type(testImage(300).left(101), 115200, 0.0);
    const double errorByteIn = bench.time.now();
    bench.type(testImage(300).mid(101), 115200, 1.5);
    QCOMPARE(bench.serial.front().data, QByteArray("E"));
    QCOMPARE(bench.serial.front().time, errorByteIn + 10.0 / 115200);
    const auto verdict = bench.drive.verdicts().front();
    QVERIFY(verdict.errorSent);
    QVERIFY(!verdict.identical);
    QCOMPARE(verdict.bytesReceived, 100);
    QCOMPARE(verdict.firstDifference, 100);
}

void DriveSimSerialTest::stopsAnsweringAtTheChosenByte() {
    DriveOptions options;
    options.firmwareFile = firmwareFile(testImage(600));
    options.stopAtByte = 300;
    EngineBench bench(options);
    enterBootLoader(bench);
    bench.type(testImage(600), 115200, 2.0);
    QCOMPARE(bench.takeSerial(), QByteArray("."));  // the one at 256, nothing after 300
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY(verdict);
    QVERIFY(verdict->stopped);
    QCOMPARE(verdict->bytesReceived, 300);
    QCOMPARE(bench.drive.mode(), SimulatedDrive::Mode::Hung);
    bench.type("SV\r", 9600, 0.5);
    bench.type("SV\r", 115200, 0.5);
    QCOMPARE(bench.takeSerial(), QByteArray());
    // A power cycle brings it back.
    bench.drive.powerUp();
    bench.time.advanceBy(0.1);
    QCOMPARE(bench.takeSerial(), bytes({0xFF, 0x05, 55}));
}

QTEST_GUILESS_MAIN(DriveSimSerialTest)
#include "test_drive_sim_serial.moc"
