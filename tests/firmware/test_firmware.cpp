// The firmware file: its header's rules, the firmware folder's record, and
// choosing a file through the session with real files in a temporary folder.
#include <QBuffer>
#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "Doubles.h"
#include "firmware/FirmwareFolder.h"
#include "firmware/FirmwareHeader.h"

using namespace kestrel;
using Status = FirmwareHeader::Status;

namespace {

// The three unused bytes and an image with line ends and high bytes in it.
const QByteArray kBody("abc\x00\x01\xff\r\n", 8);

// A disk that went away: every read fails.
struct FailingDevice final : QIODevice {
    FailingDevice() {
        open(QIODevice::ReadOnly);
        setErrorString(QStringLiteral("the disk went away"));
    }
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64) override { return -1; }
};

QString write(const QString& path, const QByteArray& content) {
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    return written ? path : "<not written: " + path + ">";
}

}  // namespace

class TestFirmware : public QObject {
    Q_OBJECT
  private slots:
    void header_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Status>("status");
        QTest::addColumn<QString>("read");  // revision|model|their two numbers
        QTest::addColumn<qint64>("size");   // where the three unused bytes begin
        auto row = [](const char* name, const QByteArray& input, Status status, const char* read,
                      qint64 size) {
            QTest::newRow(name) << input << status << QString(read) << size;
        };
        const QByteArray l(kMaxFieldLength, '1');  // the longest field
        row("CR LF", "2.10\r\n057abc\r\n" + kBody, Status::Complete, "2.10|057abc|210|57", 14);
        row("LF; largest model code", "2\n32767\n" + kBody, Status::Complete, "2|32767|2|32767", 8);
        row("CR; one past it", "1.5\r32768\r" + kBody, Status::Complete, "1.5|32768|15|0", 10);
        row("LF CR is two line ends", "1.05\n\r57" + kBody, Status::Complete, "1.05||105|0", 6);
        row("quoted, spaces around; quotes hold a comma and a line end",
            "  \"1,\r\n5\" , \"99999999999999999999\"\r\n" + kBody, Status::Complete,
            "1,\r\n5|99999999999999999999|0|0", 36);
        row("empty", "", Status::Empty, "||0|0", 0);
        // Fields at the length limit, and one past it, plain and quoted.
        QTest::newRow("longest fields") << l + ",\"" + l + "\"" << Status::Complete
                                        << QString(l + "|" + l + "|111|0") << l.size() * 2 + 3;
        row("field 1 too long", l + "1,57", Status::RevisionUnreadable, "||0|0", 0);
        row("quoted field 2 too long", "1.05,\"" + l + "1\"", Status::ModelUnreadable,
            "1.05||105|0", 5);
    }
    // Both readers: the download reads the open file and goes on where the header ended.
    void header() {
        QFETCH(QByteArray, input);
        QFETCH(Status, status);
        QFETCH(qint64, size);
        QBuffer device(&input);
        QVERIFY(device.open(QIODevice::ReadOnly));
        const FirmwareHeader fromDevice = readFirmwareHeader(device);
        for (const FirmwareHeader& h : {fromDevice, readFirmwareHeader(QByteArrayView(input))}) {
            QCOMPARE(h.status, status);
            QTEST(QStringList({h.revision, h.model, QString::number(revisionNumber(h.revision)),
                               QString::number(modelCode(h.model))})
                      .join('|'),
                  "read");
            QCOMPARE(h.size, size);
            QCOMPARE(h.error.isEmpty(),
                     status != Status::RevisionUnreadable && status != Status::ModelUnreadable);
        }
        QVERIFY(!fromDevice.error.isEmpty() || device.pos() == size);
    }

    // A failing read is a failure, never an early end that would read as "empty".
    void deviceFailureIsReported() {
        FailingDevice device;
        const FirmwareHeader header = readFirmwareHeader(device);
        QCOMPARE(header.status, Status::RevisionUnreadable);
        QVERIFY2(header.error.endsWith(u"the disk went away"), qPrintable(header.error));
    }

    // The table's first and last codes, one past each, and a gap.
    void captionEdges() {
        QCOMPARE((QStringList{fileModelCaption(11), fileModelCaption(130), fileModelCaption(10),
                              fileModelCaption(131), fileModelCaption(84)}),
                 (QStringList{"QN-G", "QN-F", "Unknown", "Unknown", "Unknown"}));
    }

    // The dialog's first proposal: the record's path, a bare name taken as in the folder.
    void proposedName() {
        QTemporaryDir dir;
        const QString folder = dir.path(), record = folder + "/FirmwareFile.txt";
        QCOMPARE(proposedFirmwareName(folder), folder + "/Flash.elf.E");  // no record yet
        write(record, "\"Other.E\"\r\n");
        QCOMPARE(proposedFirmwareName(folder), folder + "/Other.E");
        write(record, "\"/srv/fw/x.E");  // an unclosed quote: no record
        QCOMPARE(proposedFirmwareName(folder), folder + "/Flash.elf.E");
    }

    // Every outcome of a second choice, after a first file was read, so that what
    // an outcome must leave alone is seen to stay.
    void secondChoice_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("situation");  // the link, or what goes wrong
        QTest::addColumn<QString>("shown");      // FileRev|FileModel|the two numbers
        QTest::addColumn<QString>("message");    // with <folder>
        auto row = [](const char* name, const QByteArray& content, const char* situation,
                      const char* shown, const char* message) {
            QTest::newRow(name) << content << QString(situation) << QString(shown)
                                << QString(message);
        };
        const QByteArray good = "1.05\r\n57\r\n" + kBody;
        row("only 1.05, line end", "1.05\r\n", "serial", "1.05|QN-J AC|105|36",
            "The Firmware file was empty");
        row("record is a folder", good, "record is a folder", "2.10|QN-J AC|210|36",
            "Error: Cannot remember the firmware file's path in \"<folder>/FirmwareFile.txt\": "
            "Filename refers to a directory");
        row("read; Ethernet enables the download", good, "ethernet", "1.05|KX-M1|105|57", "");
    }
    void secondChoice() {
        QFETCH(QByteArray, content);
        QFETCH(QString, situation);
        QFETCH(QString, message);
        QTemporaryDir dir;  // home of the firmware folder and of the files chosen
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
        const auto unset = qScopeGuard([] { qunsetenv("XDG_DATA_HOME"); });
        const QString folder = dir.filePath("Veltrane"), record = folder + "/FirmwareFile.txt";
        testing::TestSession ts;
        ts.tp.serial.setOpenResult(1, 0);
        ts.session.Form_Load();
        std::vector<bool> enabledThen;  // OpenPrograms, each time a message was shown
        ts.seen.onShow = [&](const auto&) { enabledThen.push_back(ts.seen.actions.openPrograms); };
        // Returns FileName|the selected path|FileRev|FileModel|the two numbers.
        auto choose = [&](const QString& path) {
            ts.tp.fileDialog.choose(path);
            ts.session.OpenPrograms_Click();
            const FirmwareState& f = ts.session.firmwareState();
            return QStringList{ts.seen.file.name,
                               f.path,
                               ts.seen.file.revision,
                               ts.seen.file.model,
                               QString::number(f.FileRevNumber),
                               QString::number(f.FileModelCode)}
                .join('|');
        };
        // A comma, spaces and letters beyond ASCII must survive the record.
        const QString first = write(dir.filePath("Früh, v1.E"), "\"2.10\",\"36\"\r\n" + kBody);
        const QString path = write(dir.filePath("chosen.E"), content);
        if (situation == QLatin1String("ethernet")) {
            ts.session.driveAddress().selectEthernet();
        }
        QCOMPARE(choose(first), first + "|" + first + "|2.10|QN-J AC|210|36");
        const bool recordLost = situation == QLatin1String("record is a folder");
        QVERIFY(!recordLost || (QFile::remove(record) && QDir().mkpath(record)));

        QFETCH(QString, shown);
        QCOMPARE(choose(path), path + "|" + path + "|" + shown);

        QCOMPARE(ts.tp.fileDialog.calls.back().initialName,
                 recordLost ? folder + "/Flash.elf.E" : first);
        message.replace("<folder>", folder);
        QCOMPARE(ts.seen.texts(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(enabledThen, std::vector<bool>(message.isEmpty() ? 0 : 1, false));
        QFile remembered(record);
        QCOMPARE(remembered.open(QIODevice::ReadOnly) ? remembered.readAll() : "<none>",
                 recordLost ? "<none>" : '"' + path.toUtf8() + "\"\r\n");
        QCOMPARE(ts.seen.actions.startDownload, situation == QLatin1String("ethernet"));
    }
};

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
