// The firmware file: its header's rules, the firmware folder's record, and
// choosing a file through the session with real files in a temporary folder.
#include <QBuffer>
#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include "Doubles.h"
#include "SessionProbe.h"
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
        QTest::addColumn<QString>("read");  // revision|model|their numbers (revision: two ways)
        QTest::addColumn<qint64>("size");   // where the three unused bytes begin
        QTest::addColumn<QString>("error");
        auto row = [](const char* name, const QByteArray& input, Status status, const char* read,
                      qint64 size, const QString& error = {}) {
            QTest::newRow(name) << input << status << QString(read) << size << error;
        };
        // The longest fields: a revision and a model number with leading zeros.
        const QByteArray lr = "1." + QByteArray(kMaxFieldLength - 2, '0');
        const QByteArray lm = QByteArray(kMaxFieldLength - 2, '0') + "57";
        const QByteArray l(kMaxFieldLength, '1');
        const QString tooLong =
            QString(" field: a field is longer than %1 characters").arg(kMaxFieldLength);
        row("CR LF", "2.10\r\n057\r\n" + kBody, Status::Complete, "2.10|057|210/210|57", 11);
        row("LF; largest model code", "2.1\n32767\n" + kBody, Status::Complete,
            "2.1|32767|21/210|32767", 10);
        row("quoted, spaces around", "  \"12.05\" , \"1\",\"2\"" + kBody, Status::Complete,
            "12.05|1|0/1205|1", 16);
        // Finer than hundredths no drive reports; a zero there changes nothing.
        row("thousandths", "1.055\r\n57\n" + kBody, Status::Complete, "1.055|57|105/-|57", 10);
        row("a zero more", "01.060\r\n57\n" + kBody, Status::Complete, "01.060|57|0/106|57", 11);
        row("empty", "", Status::Empty, "||0/-|0", 0);
        QTest::newRow("longest fields")
            << lr + ",\"" + lm + "\"" << Status::Complete << QString(lr + "|" + lm + "|100/100|57")
            << l.size() * 2 + 3 << QString();
        row("field 1 too long", l + "1,57", Status::RevisionUnreadable, "||0/-|0", 0,
            "revision" + tooLong);
        row("quoted field 2 too long", "1.05,\"" + l + "1\"", Status::ModelUnreadable,
            "1.05||105/105|0", 5, "model" + tooLong);
        // Fields not of their kind: the file is not firmware.
        auto notRevision = [&](const char* name, const QByteArray& field, const char* value) {
            row(name, field + "\r\n55\r\n" + kBody, Status::RevisionUnreadable, "||0/-|0", 0,
                QString("revision field: \"%1\" is not a revision (digits, a point, digits)")
                    .arg(value));
        };
        notRevision("a table: Name,Value", "Name,Value", "Name");
        notRevision("no point", "2", "2");
        notRevision("no digits before the point", ".05", ".05");
        notRevision("none after it", "1.", "1.");
        notRevision("a letter", "1.5a", "1.5a");
        notRevision("two points", "1.0.5", "1.0.5");
        notRevision("a space inside quotes", "\" 1.05\"", " 1.05");
        notRevision("a line end inside quotes", "\"1.05\n\"", "1.05\n");
        auto notModel = [&](const char* name, const QByteArray& input, const char* value,
                            qint64 size = 6) {
            row(name, input + kBody, Status::ModelUnreadable, "1.05||105/105|0", size,
                QString("model field: \"%1\" is not a model number (decimal digits, 1 to 32767)")
                    .arg(value));
        };
        notModel("model 0; leading spaces skipped", "  1.05,  0\r\n", "0", 7);
        notModel("model -3", "1.05\r\n-3\r\n", "-3");
        notModel("model 55 and a tab", "1.05\r\n55\t\r\n", "55\t");
        notModel("one past the largest", "1.05\r\n32768\r\n", "32768");
        notModel("2^32 + 49, which cut down is 49", "1.05\r\n4294967345\r\n", "4294967345");
        notModel("LF CR is two line ends", "1.05\n\r57", "", 5);
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
            const auto hundredths = revisionHundredths(h.revision);
            QTEST(QStringList({h.revision, h.model,
                               QString::number(revisionNumber(h.revision)) + '/' +
                                   (hundredths ? QString::number(*hundredths) : "-"),
                               QString::number(modelCode(h.model))})
                      .join('|'),
                  "read");
            QCOMPARE(h.size, size);
            QTEST(h.error, "error");
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
        QTest::addColumn<QString>("message");    // with <folder> and <path>
        auto row = [](const char* name, const QByteArray& content, const char* situation,
                      const char* shown, const QString& message) {
            QTest::newRow(name) << content << QString(situation) << QString(shown) << message;
        };
        const QByteArray good = "1.05\r\n57\r\n" + kBody;
        row("only 1.05, line end", "1.05\r\n", "serial", "1.05|QN-J AC|105|36",
            "The Firmware file was empty");
        row("record is a folder", good, "record is a folder", "2.10|QN-J AC|210|36",
            "Error: Cannot remember the firmware file's path in \"<folder>/FirmwareFile.txt\": "
            "Filename refers to a directory");
        row("read; Ethernet enables the download", good, "ethernet", "1.05|KX-M1|105|57", "");
        // A field not of its kind is one that cannot be read: the fields before it are shown.
        const QString header = "Error: The header of the firmware file \"<path>\" cannot be read: ";
        row("not firmware: Name,Value", "Name,Value\r\n" + kBody, "serial", "2.10|QN-J AC|210|36",
            header + "revision field: \"Name\" is not a revision (digits, a point, digits)");
        row("model 0", "1.07,0\r\n" + kBody, "ethernet", "1.07|QN-J AC|107|36",
            header + "model field: \"0\" is not a model number (decimal digits, 1 to 32767)");
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
        ts.tp.serial.setOpenResult(1, CommError::None);
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
            SessionProbe(ts.session).driveAddress().selectEthernet();
        }
        QCOMPARE(choose(first), first + "|" + first + "|2.10|QN-J AC|210|36");
        const bool recordLost = situation == QLatin1String("record is a folder");
        QVERIFY(!recordLost || (QFile::remove(record) && QDir().mkpath(record)));

        QFETCH(QString, shown);
        QCOMPARE(choose(path), path + "|" + path + "|" + shown);

        QCOMPARE(ts.tp.fileDialog.calls.back().initialName,
                 recordLost ? folder + "/Flash.elf.E" : first);
        message.replace("<folder>", folder).replace("<path>", path);
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
