// The simulated drive's own reading of a firmware file, and the program's
// command line.
#include <QtTest>

#include "CommandLine.h"
#include "FirmwareFile.h"

using namespace kestrel::drivesim;

class DriveSimOptionsTest : public QObject {
    Q_OBJECT
  private slots:
    void readsTheFirmwareFile_data();
    void readsTheFirmwareFile();
    void refusesAFileWithoutAWholeHeader_data();
    void refusesAFileWithoutAWholeHeader();
    void parsesTheCommandLine();
    void refusesBadArguments_data();
    void refusesBadArguments();
    void readsTheFirmwareNamedOnTheCommandLine();
};

void DriveSimOptionsTest::readsTheFirmwareFile_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("revisionNumber");
    QTest::addColumn<int>("model");
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("driveRevision");  // -1: does not fit a byte
    QTest::newRow("CR LF") << QByteArray("1.05\r\n57\r\nxyzIMAGE") << 105 << 57
                           << QByteArray("IMAGE") << 5;
    QTest::newRow("LF only") << QByteArray("1.06\n55\nxyzIMAGE") << 106 << 55 << QByteArray("IMAGE")
                             << 6;
    QTest::newRow("CR only") << QByteArray("2.10\r55\rxyzIMAGE") << 210 << 55 << QByteArray("IMAGE")
                             << 110;
    QTest::newRow("commas") << QByteArray("1.05,57,xyzIMAGE") << 105 << 57 << QByteArray("IMAGE")
                            << 5;
    QTest::newRow("quoted, with blanks") << QByteArray("  \"1.05\" , 57 \r\nxyz\r\nIMAGE") << 105
                                         << 57 << QByteArray("\r\nIMAGE") << 5;
    QTest::newRow("image may start with CR LF")
        << QByteArray("1.05\r\n57\r\n\r\n\x01\r\n") << 105 << 57 << QByteArray("\r\n") << 5;
    QTest::newRow("short revision")
        << QByteArray("2\r\n57\r\nxyzI") << 2 << 57 << QByteArray("I") << -1;
    QTest::newRow("revision beyond a byte")
        << QByteArray("3.56\r\n57\r\nxyzI") << 356 << 57 << QByteArray("I") << -1;
    QTest::newRow("model not a number")
        << QByteArray("1.05\r\nKX\r\nxyzI") << 105 << 0 << QByteArray("I") << 5;
    QTest::newRow("empty image") << QByteArray("1.05\r\n57\r\nxyz") << 105 << 57 << QByteArray()
                                 << 5;
}

void DriveSimOptionsTest::readsTheFirmwareFile() {
    QFETCH(QByteArray, file);
    QFETCH(int, revisionNumber);
    QFETCH(int, model);
    QFETCH(QByteArray, image);
    QFETCH(int, driveRevision);
    QString error;
    const auto parsed = parseFirmwareFile(file, &error);
    QVERIFY2(parsed, qPrintable(error));
    QCOMPARE(parsed->revisionNumber, revisionNumber);
    QCOMPARE(parsed->modelNumber, model);
    QCOMPARE(parsed->image, image);
    QCOMPARE(parsed->driveRevision().value_or(-1), driveRevision);
}

void DriveSimOptionsTest::refusesAFileWithoutAWholeHeader_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("why");
    QTest::newRow("empty") << QByteArray() << "no revision field";
    QTest::newRow("blanks only") << QByteArray("   ") << "no revision field";
    QTest::newRow("revision only") << QByteArray("1.05\r\n") << "ends after the revision";
    QTest::newRow("no filler bytes")
        << QByteArray("1.05\r\n57\r\nxy") << "ends inside the three bytes";
    QTest::newRow("unclosed quote") << QByteArray("\"1.05\r\n57\r\nxyz") << "no revision field";
}

void DriveSimOptionsTest::refusesAFileWithoutAWholeHeader() {
    QFETCH(QByteArray, file);
    QFETCH(QString, why);
    QString error;
    QVERIFY(!parseFirmwareFile(file, &error));
    QVERIFY2(error.contains(why), qPrintable(error));
}

void DriveSimOptionsTest::parsesTheCommandLine() {
    const CommandLine defaults = parseCommandLine({QStringLiteral("kestrel-drive-sim")});
    QVERIFY2(defaults.options, qPrintable(defaults.error));
    QCOMPARE(defaults.options->drive.modelCode, 55);
    QCOMPARE(defaults.options->drive.udpPort, quint16(7775));
    QVERIFY(defaults.options->powerUpAtStart);

    const CommandLine c = parseCommandLine({"kestrel-drive-sim",
                                            "--model",
                                            "49",
                                            "--revision",
                                            "7",
                                            "--suffix",
                                            "B",
                                            "--boot-loader-version",
                                            "2",
                                            "--blank",
                                            "--rx-buffer",
                                            "400",
                                            "--drain-rate",
                                            "1500",
                                            "--dot-every",
                                            "0",
                                            "--error-at",
                                            "1000",
                                            "--packet-insert",
                                            "0a",
                                            "--no-sa-reply",
                                            "--port",
                                            "0",
                                            "--drop-data",
                                            "0.25",
                                            "--drop-acks",
                                            "0.5",
                                            "--seed",
                                            "77",
                                            "--ignore-count-queries",
                                            "--udp-stop-at",
                                            "9",
                                            "--build-number",
                                            "0x80000001",
                                            "--mac",
                                            "00-11-0A-FF-2B-03",
                                            "--no-power-up",
                                            "--exit-after-verdict",
                                            "--linger",
                                            "0.5",
                                            "--timeout",
                                            "30",
                                            "--ignore-bit-rate"});
    QVERIFY2(c.options, qPrintable(c.error));
    const DriveOptions& d = c.options->drive;
    QCOMPARE(d.modelCode, 49);
    QCOMPARE(d.revision, 7);
    QCOMPARE(d.revisionSuffix, 'B');
    QCOMPARE(d.bootLoaderVersion, 2);
    QVERIFY(d.blank);
    QCOMPARE(d.rxBufferSize, 400);
    QCOMPARE(d.xoffLevel, 200);  // levels follow the buffer
    QCOMPARE(d.xonLevel, 50);
    QCOMPARE(d.drainRate, 1500.0);
    QCOMPARE(d.dotEveryBytes, 0);
    QCOMPARE(d.errorAtByte, 1000);
    QCOMPARE(d.packetInsert, QByteArray("\n"));
    QVERIFY(!d.replyToSA);
    QVERIFY(d.replyToSV);
    QCOMPARE(d.udpPort, quint16(0));
    QCOMPARE(d.dropDataFraction, 0.25);
    QCOMPARE(d.dropAckFraction, 0.5);
    QCOMPARE(d.seed, 77u);
    QVERIFY(d.ignoreCountQueries);
    QCOMPARE(d.stopAtDatagram, 9);
    QCOMPARE(d.buildNumber, 0x80000001u);
    QCOMPARE(d.mac, (std::array<quint8, 6>{0x00, 0x11, 0x0A, 0xFF, 0x2B, 0x03}));
    QVERIFY(!d.checkBitRate);
    QVERIFY(!c.options->powerUpAtStart);
    QVERIFY(c.options->exitAfterVerdict);
    QCOMPARE(c.options->linger, 0.5);
    QCOMPARE(c.options->timeout, 30.0);

    const CommandLine help = parseCommandLine({"kestrel-drive-sim", "--help"});
    QVERIFY(help.helpRequested);
    for (const char* option : {"--firmware", "--drop-data", "--udp-error-at",
                               "--exit-after-verdict", "--packet-insert", "--stop-at"}) {
        QVERIFY2(commandLineHelp().contains(QLatin1String(option)), option);
    }
}

void DriveSimOptionsTest::refusesBadArguments_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("why");
    QTest::newRow("model beyond a byte") << QStringList{"--model", "256"} << "--model";
    QTest::newRow("not a number") << QStringList{"--revision", "five"} << "--revision";
    QTest::newRow("fraction above 1") << QStringList{"--drop-data", "1.5"} << "--drop-data";
    QTest::newRow("bad hex") << QStringList{"--packet-insert", "zz"} << "--packet-insert";
    QTest::newRow("bad MAC") << QStringList{"--mac", "00-11-22"} << "--mac";
    QTest::newRow("XON above XOFF") << QStringList{"--xon-level", "2000"} << "XON level";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << "frobnicate";
    QTest::newRow("stray argument") << QStringList{"extra"} << "extra";
    QTest::newRow("missing firmware file")
        << QStringList{"--firmware", "/nonexistent/kestrel.E"} << "cannot read";
}

void DriveSimOptionsTest::refusesBadArguments() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, why);
    arguments.prepend(QStringLiteral("kestrel-drive-sim"));
    const CommandLine c = parseCommandLine(arguments);
    QVERIFY(!c.options);
    QVERIFY2(c.error.contains(why), qPrintable(c.error));
}

void DriveSimOptionsTest::readsTheFirmwareNamedOnTheCommandLine() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString good = dir.filePath(QStringLiteral("good.E"));
    const QString broken = dir.filePath(QStringLiteral("broken.E"));
    for (const auto& [path, content] : {std::pair{good, QByteArray("1.05\r\n55\r\nxyzIMAGE")},
                                        std::pair{broken, QByteArray("1.05\r\n")}}) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    const CommandLine c = parseCommandLine({"kestrel-drive-sim", "--firmware", good});
    QVERIFY2(c.options, qPrintable(c.error));
    QCOMPARE(c.options->drive.firmwareFile, QByteArray("1.05\r\n55\r\nxyzIMAGE"));
    const CommandLine bad = parseCommandLine({"kestrel-drive-sim", "--firmware", broken});
    QVERIFY(!bad.options);
    QVERIFY2(bad.error.contains(QStringLiteral("not usable")), qPrintable(bad.error));
}

QTEST_GUILESS_MAIN(DriveSimOptionsTest)
#include "test_drive_sim_options.moc"
