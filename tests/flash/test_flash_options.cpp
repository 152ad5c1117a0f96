// kestrel-flash's command line at its edges: the first and last values each
// bound admits, the first it refuses, and each way options clash; and the
// firmware file --firmware-dir chooses for a drive.
#include <QtTest>

#include "Bytes.h"
#include "flash/FirmwareDir.h"
#include "flash/FlashOptions.h"

using namespace kestrel::flash;
using namespace kestrel::testing;

class FlashOptionsTest : public QObject {
    Q_OBJECT
  private slots:
    void parses_data() {
        QTest::addColumn<QString>("line");
        // Accepted: "action link comPort device/address wait file json
        // allowUnknownModel drives station"; refused: a part of the refusal.
        QTest::addColumn<QString>("expected");
        const char* const rows[][2] = {
            {"--port=/dev/pts/3 --identify --wait 3600 a.E --json",
             "0 1 1 /dev/pts/3 3600 a.E 1 0 1 0"},
            {"--com 1 --identify --wait 0.001", "0 2 1  0.001  0 0 1 0"},
            {"--ip 255.255.255.255 --ping --json", "1 3 0 255.255.255.255 10  1 0 1 0"},
            {"--ip 1.2.3.4 a.E --allow-unknown-model", "3 3 0 1.2.3.4 10 a.E 0 1 1 0"},
            {"--list-ports", "2 0 0  10  0 0 0 0"},
            {"-l -V", "5 0 0  10  0 0 0 0"},  // the peers' short forms
            {"-p /dev/a -p /dev/b -q a.E", "3 1 1 /dev/a 10 a.E 0 0 2 1"},
            {"-p /dev/a -q -v a.E", "either --quiet or --verbose"},
            {"--ping --help", "4 0 0  10  0 0 0 0"},
            {"--com 0 --identify", "--com: expected a port number from 1 to 8, got \"0\""},
            {"--com 9 --identify", "--com: expected a port number from 1 to 8, got \"9\""},
            {"--com 1 --identify --wait 0", "--wait: expected seconds above 0 and up to 3600"},
            {"--com 1 --identify --wait 3600.5", "--wait: expected seconds"},
            {"--ip 256.1.1.1 --ping", "--ip: expected an address"},
            {"", "nothing to do"},
            // A station: drives in the order --port, --com, --ip; the first
            // stands in the single-drive fields.
            {"--ip 1.2.3.4 --port /dev/a --com 2 --identify", "0 1 1 /dev/a 10  0 0 3 1"},
            {"--com 1 --loop --record r.jsonl --firmware-dir d", "3 2 1  10  0 0 1 1"},
            {"--ip 1.2.3.4 --ip 1.2.3.4 a.E", "--ip 1.2.3.4 given twice"},
            {"--com 1 --firmware-dir d a.E", "either FILE or --firmware-dir"},
            {"--com 1 --record r.txt a.E", "must end in .csv or .jsonl"},
            {"--com 1 --loop --identify", "--loop downloads"},
            {"--ip 1.2.3.4 --ip 1.2.3.5 --ping", "--ping asks one drive"},
            {"--simulate --ip 1.2.3.4 --ip 1.2.3.5", "--simulate runs one drive"},
            {"--list-ports --loop", "--list-ports takes no"},
            {"--simulate --com 2", "--simulate brings its own serial line"},
            {"--com 1 --identify a.E b.E", "at most one FILE"},
            {"--com 1 --identify --ping", "only one of --identify, --ping and --list-ports"},
            {"--com 1 --ping", "--ping asks over Ethernet"},
        };
        for (const auto& [line, expected] : rows) {
            QTest::newRow(*line ? line : "(nothing)") << QString(line) << QString(expected);
        }
    }

    void parses() {
        QFETCH(QString, line);
        QFETCH(QString, expected);
        const ParsedArguments parsed =
            parseFlashArguments(QStringList{"kestrel-flash"} + line.split(' ', Qt::SkipEmptyParts));
        if (!parsed.options) {
            QVERIFY2(parsed.error.contains(expected), qPrintable(parsed.error));
            return;
        }
        const FlashOptions& o = *parsed.options;
        QCOMPARE(QString("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10")
                     .arg(int(o.action))
                     .arg(int(o.where))
                     .arg(o.comPort)
                     .arg(o.where == FlashOptions::Where::Ip ? o.address : o.device)
                     .arg(o.waitSeconds)
                     .arg(o.file)
                     .arg(int(o.json))
                     .arg(int(o.allowUnknownModel))
                     .arg(o.targets.size())
                     .arg(int(o.station())),
                 expected);
    }

    // --firmware-dir's choice for a drive of model 55 (KX-M1: files 55-57).
    void choosesFirmware_data() {
        QTest::addColumn<QStringList>("files");  // "name model revision"
        QTest::addColumn<int>("driveModel");
        QTest::addColumn<bool>("allowUnknown");
        QTest::addColumn<QString>("expected");  // "name ties" or a part of the refusal
        const QStringList mixed{"a 55 1.06", "b 57 1.10", "c 49 1.20", "d 200 1.30"};
        QTest::newRow("newest of the family") << mixed << 55 << false << "b ";
        QTest::newRow("another family's newer file is no choice") << mixed << 49 << false << "c ";
        QTest::newRow("an unknown model only when allowed") << mixed << 55 << true << "d ";
        QTest::newRow("1.5 is newer than 1.06")
            << QStringList{"a 55 1.06", "b 55 1.5"} << 55 << false << "b ";
        QTest::newRow("a tie: the first by name, the others named")
            << QStringList{"a 55 1.10", "b 56 1.1", "c 57 1.10"} << 55 << false << "a b,c";
        QTest::newRow("nothing fits")
            << mixed << 51 << false << "no file in the folder fits a drive of model 51";
        QTest::newRow("drive unknown") << mixed << 0 << true << "drive's model is not known";
        QTest::newRow("empty folder") << QStringList{} << 55 << false << "no file";
    }

    void choosesFirmware() {
        QFETCH(QStringList, files);
        QFETCH(int, driveModel);
        QFETCH(bool, allowUnknown);
        QTemporaryDir dir;
        for (const QString& file : files) {
            const QStringList f = file.split(' ');
            QVERIFY(writeFile(dir.filePath(f[0] + ".E"),
                              firmware(f[1].toLatin1(), 300, f[2].toLatin1())));
        }
        QVERIFY(writeFile(dir.filePath("not-firmware.txt"), "just text\n"));
        const FirmwareChoice choice =
            chooseFirmware(scanFirmwareDir(dir.path()), driveModel, allowUnknown);
        QFETCH(QString, expected);
        if (choice.path.isEmpty()) {
            QVERIFY2(choice.refusal.contains(expected), qPrintable(choice.refusal));
            return;
        }
        QCOMPARE(QFileInfo(choice.path).baseName() + ' ' + choice.ties.join(',').remove(".E"),
                 expected);
    }
};

QTEST_GUILESS_MAIN(FlashOptionsTest)
#include "test_flash_options.moc"
