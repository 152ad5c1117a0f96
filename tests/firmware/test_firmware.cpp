// The firmware file: its header's rules, and choosing a file through the
// session with real files in a temporary folder.
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "Doubles.h"
#include "firmware/FirmwareHeader.h"

using kestrel::FileDialogResult;
using kestrel::FirmwareHeader;
using Status = kestrel::FirmwareHeader::Status;

namespace {

// The three unused bytes and an image with line ends and high bytes in it.
const QByteArray kBody("abc\x00\x01\xff\r\n", 8);

// Serves `good`, then fails every read, like a disk that goes away.
class FailingDevice final : public QIODevice {
  public:
    explicit FailingDevice(QByteArray good) : good_(std::move(good)) {
        open(QIODevice::ReadOnly);
        setErrorString(QStringLiteral("the disk went away"));
    }
    bool isSequential() const override { return true; }

  protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = qMin<qint64>(maxSize, good_.size());
        memcpy(data, good_.constData(), static_cast<size_t>(n));
        good_.remove(0, static_cast<qsizetype>(n));
        return n > 0 ? n : -1;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

  private:
    QByteArray good_;
};

// The session on doubles, loaded, with the start-up messages out of the way, and
// its firmware folder in a temporary folder that does not hold it yet.
struct Rig {
    Rig() {
        QDir().mkpath(dir.filePath(QStringLiteral("data")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
        tp.serial.setOpenResult(1, 0);
        session.Form_Load();
        seen.shown.clear();
        seen.onShow = [this](const auto&) {
            enabledWhileMessage.push_back(seen.actions.openPrograms);
        };
    }
    ~Rig() { qunsetenv("XDG_DATA_HOME"); }
    void click() { session.OpenPrograms_Click(); }
    void choose(const QString& path) {
        tp.fileDialog.choose(path);
        click();
    }
    QString proposed() const { return tp.fileDialog.calls.back().initialName; }
    // FileName and the selected path, then FileRev, FileModel and the two numbers.
    QStringList shown() {
        const kestrel::FirmwareState& state = session.firmwareState();
        return {seen.file.name,
                state.path,
                seen.file.revision,
                seen.file.model,
                QString::number(state.FileRevNumber),
                QString::number(state.FileModelCode)};
    }
    QString folder() const { return dir.filePath(QStringLiteral("data/Veltrane")); }
    QString recordPath() const { return folder() + QStringLiteral("/FirmwareFile.txt"); }
    QByteArray record() const {
        QFile file(recordPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no record>");
    }
    QString write(const QString& name, const QByteArray& content) {
        const QString path = QDir(dir.path()).filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            qFatal("cannot write %s", qPrintable(path));
        }
        return path;
    }

    QTemporaryDir dir;
    kestrel::testing::TestPlatform tp;
    kestrel::testing::RecordingObserver seen;
    kestrel::Session session{tp.platform, seen};
    std::vector<bool> enabledWhileMessage;  // OpenPrograms while each message was shown
};

QByteArray recordOf(const QString& path) {
    return '"' + path.toUtf8() + "\"\r\n";
}

// Open descriptors of this process, to see that every way out closes the file.
int openDescriptors() {
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

}  // namespace

class TestFirmware : public QObject {
    Q_OBJECT
  private slots:
    // The header's fields and the numbers made of them, `FileRevNumber` from the
    // revision and `FileModelCode` from the model.
    void header_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Status>("status");
        QTest::addColumn<QStringList>("read");  // revision, model and their two numbers
        QTest::addColumn<qint64>("size");       // where the three unused bytes begin

        const QByteArray rest("abc\x00\r\n\xff", 7);
        const QByteArray longest(kestrel::kMaxFieldLength, '1');
        const QStringList none{"", "", "0", "0"};
        QTest::newRow("comma") << "1.05,57\r\n" + rest << Status::Complete
                               << QStringList{"1.05", "57", "105", "57"} << 9LL;
        QTest::newRow("CR LF") << "2.10\r\n057abc\r\n" + rest << Status::Complete
                               << QStringList{"2.10", "057abc", "210", "57"} << 14LL;
        QTest::newRow("LF") << "2\n32767\n" + rest << Status::Complete
                            << QStringList{"2", "32767", "2", "32767"} << 8LL;
        QTest::newRow("CR") << "1.5\r32768\r" + rest << Status::Complete
                            << QStringList{"1.5", "32768", "15", "0"} << 10LL;
        QTest::newRow("LF CR is two line ends") << "1.05\n\r57" + rest << Status::Complete
                                                << QStringList{"1.05", "", "105", "0"} << 6LL;
        QTest::newRow("quoted, spaces around")
            << "  \"1.05b7\" , \"-5\"\r\n" + rest << Status::Complete
            << QStringList{"1.05b7", "-5", "105", "0"} << 19LL;
        QTest::newRow("quotes hold a comma and a line end")
            << "\"1,\r\n5\",9999999999999999999999\r\n" + rest << Status::Complete
            << QStringList{"1,\r\n5", "9999999999999999999999", "0", "0"} << 32LL;
        QTest::newRow("data ends field 2") << QByteArray("2\r\nabc") << Status::Complete
                                           << QStringList{"2", "abc", "2", "0"} << 6LL;
        QTest::newRow("high bytes one to one")
            << QByteArray("\xe9.05,57") << Status::Complete
            << QStringList{QString(QChar(0xe9)) + ".05", "57", "0", "57"} << 7LL;
        QTest::newRow("longest fields")
            << longest + ",\"" + longest + "\"" << Status::Complete
            << QStringList{QString::fromLatin1(longest), QString::fromLatin1(longest), "111", "0"}
            << 2 * kestrel::kMaxFieldLength + 3LL;
        QTest::newRow("empty") << QByteArray() << Status::Empty << none << 0LL;
        QTest::newRow("revision and line end only")
            << QByteArray("1.x5\r\n") << Status::EndsAfterRevision
            << QStringList{"1.x5", "", "0", "0"} << 6LL;
        QTest::newRow("field 1 too long")
            << longest + "1,57" << Status::RevisionUnreadable << none << 0LL;
        QTest::newRow("quoted field 2 too long")
            << "1.05,\"" + longest + "1\"" << Status::ModelUnreadable
            << QStringList{"1.05", "", "105", "0"} << 5LL;
        QTest::newRow("field 1 unclosed")
            << QByteArray("\"1.05\r\n57\r\n") << Status::RevisionUnreadable << none << 0LL;
        QTest::newRow("field 2 unclosed")
            << QByteArray("1.05\r\n\"57\r\n") << Status::ModelUnreadable
            << QStringList{"1.05", "", "105", "0"} << 6LL;
    }

    // Both readers, since the download reads the same rules from the open file
    // and goes on from where the header ended.
    void header() {
        QFETCH(QByteArray, input);
        QFETCH(Status, status);
        QFETCH(QStringList, read);
        QFETCH(qint64, size);

        QBuffer device(&input);
        QVERIFY(device.open(QIODevice::ReadOnly));
        const FirmwareHeader fromDevice = kestrel::readFirmwareHeader(device);
        for (const FirmwareHeader& header :
             {fromDevice, kestrel::readFirmwareHeader(QByteArrayView(input))}) {
            QCOMPARE(header.status, status);
            QCOMPARE((QStringList{header.revision, header.model,
                                  QString::number(kestrel::revisionNumber(header.revision)),
                                  QString::number(kestrel::modelCode(header.model))}),
                     read);
            QCOMPARE(header.size, size);
            QCOMPARE(header.error.isEmpty(),
                     status != Status::RevisionUnreadable && status != Status::ModelUnreadable);
        }
        if (fromDevice.error.isEmpty()) {
            QCOMPARE(device.pos(), size);
        }
    }

    // A failing read is a failure, never an early end that would read as "empty".
    void deviceFailureIsReported() {
        const std::vector<std::pair<QByteArray, Status>> cases{
            {"", Status::RevisionUnreadable}, {"1.05\r\n5", Status::ModelUnreadable}};
        for (const auto& [good, status] : cases) {
            FailingDevice device(good);
            const FirmwareHeader header = kestrel::readFirmwareHeader(device);
            QCOMPARE(header.status, status);
            QVERIFY2(header.error.contains(QStringLiteral("the disk went away")),
                     qPrintable(header.error));
        }
    }

    // The families' edges, and codes between families.
    void fileModelCaption() {
        const std::vector<std::pair<int, QString>> cases{
            {11, "QN-G"},    {27, "KX-D1 or D2"}, {29, "QN-A"},    {40, "QN-J DC"},
            {36, "QN-J AC"}, {47, "QN-B"},        {48, "QN-B-H"},  {54, "KX-M3"},
            {53, "KX-M4"},   {57, "KX-M1"},       {79, "QN-E"},    {89, "QN-E-H"},
            {130, "QN-F"},   {-1, "Unknown"},     {10, "Unknown"}, {15, "Unknown"},
            {30, "Unknown"}, {58, "Unknown"},     {90, "Unknown"}, {131, "Unknown"}};
        for (const auto& [code, caption] : cases) {
            QVERIFY2(kestrel::fileModelCaption(code) == caption, qPrintable(QString::number(code)));
        }
    }

    void dialogProposes_data() {
        QTest::addColumn<QByteArray>("record");  // null: a first use, without the folder
        QTest::addColumn<QString>("proposed");   // <folder> stands for the firmware folder
        QTest::newRow("first use") << QByteArray() << "<folder>/Flash.elf.E";
        QTest::newRow("unquoted") << QByteArray("/srv/fw/x.E\r\n") << "/srv/fw/x.E";
        QTest::newRow("bare name lies in the folder")
            << QByteArray("\"Other.E\"\r\n") << "<folder>/Other.E";
        QTest::newRow("unclosed quote") << QByteArray("\"/srv/fw/x.E") << "<folder>/Flash.elf.E";
    }

    // The dialog is cancelled each time: nothing is shown, read or remembered.
    void dialogProposes() {
        QFETCH(QByteArray, record);
        QFETCH(QString, proposed);
        Rig rig;
        if (!record.isNull()) {
            QVERIFY(QDir().mkpath(rig.folder()));
            rig.write(rig.recordPath(), record);
        }
        const QStringList before = rig.shown();
        rig.click();

        QVERIFY(QFileInfo(rig.folder()).isDir());
        QCOMPARE(rig.tp.fileDialog.calls.size(), 1u);
        QCOMPARE(rig.tp.fileDialog.calls[0].title, QStringLiteral("Open DSP Firmware File"));
        QCOMPARE(rig.tp.fileDialog.calls[0].filter, QStringLiteral("Firmware Files *.E|*.E|"));
        QCOMPARE(rig.proposed(), proposed.replace(QLatin1String("<folder>"), rig.folder()));
        QVERIFY(rig.seen.shown.empty());
        QCOMPARE(before, (QStringList{"Not Loaded", "", "0.00", "None", "0", "0"}));
        QCOMPARE(rig.shown(), before);
        QCOMPARE(rig.record(), record.isNull() ? QByteArray("<no record>") : record);
        QVERIFY(rig.seen.actions.openPrograms);
    }

    // Every outcome of a second choice, over real files, after a first file was
    // read, so that what an outcome must leave alone is seen to stay.
    void secondChoice_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("situation");  // the link, or what goes wrong
        QTest::addColumn<QStringList>("shown");  // FileRev, FileModel, the two numbers
        QTest::addColumn<QString>("message");    // with <file>, <record> and <folder>
        QTest::addColumn<bool>("startDownload");

        const QByteArray good = "1.05\r\n57\r\n" + kBody;
        const QStringList first{"2.10", "QN-J AC", "210", "36"};
        const QStringList read{"1.05", "KX-M1", "105", "57"};
        const QString empty = QStringLiteral("The Firmware file was empty");
        const QString header =
            QStringLiteral("Error: The header of the firmware file \"<file>\" cannot be read: ");
        const QString unremembered =
            QStringLiteral("Error: Cannot remember the firmware file's path in \"<record>\": ");

        QTest::newRow("1.05 and 57") << good << "serial" << read << "" << false;
        QTest::newRow("only 1.05 and a line end")
            << QByteArray("1.05\r\n") << "serial" << QStringList{"1.05", "QN-J AC", "105", "36"}
            << empty << false;
        QTest::newRow("field 2 unreadable")
            << QByteArray("1.05\r\n\"57\r\n") << "serial"
            << QStringList{"1.05", "QN-J AC", "105", "36"}
            << header + "model field: a quoted field has no closing quote" << false;
        QTest::newRow("cannot be opened")
            << good << "missing" << first
            << "Error: Cannot open the firmware file \"<file>\": No such file or directory"
            << false;
        QTest::newRow("record is a folder")
            << good << "record is a folder" << first
            << unremembered + "Filename refers to a directory" << false;
        QTest::newRow("record's folder cannot be created")
            << good << "record's folder blocked" << first
            << unremembered + "the folder \"<folder>\" is missing and cannot be created" << false;
        QTest::newRow("cancelled") << good << "dialog cancelled" << first << "" << false;
        QTest::newRow("dialog fails")
            << good << "dialog fails" << first << "Error: No display" << false;
        QTest::newRow("ethernet enables after a read") << good << "ethernet" << read << "" << true;
    }

    void secondChoice() {
        QFETCH(QByteArray, content);
        QFETCH(QString, situation);
        QFETCH(QStringList, shown);
        QFETCH(QString, message);
        QFETCH(bool, startDownload);
        Rig rig;
        // A comma, spaces and letters beyond ASCII must survive the record.
        const QString first =
            rig.write(QStringLiteral("Früh, v1.E"), "\"2.10\",\"36\"\r\n" + kBody);
        const QString path = rig.dir.filePath(QStringLiteral("chosen.E"));
        if (situation != QLatin1String("missing")) {
            rig.write(path, content);
        }
        if (situation == QLatin1String("ethernet")) {
            rig.session.driveAddress().selectEthernet();
        }
        rig.choose(first);
        QCOMPARE(rig.shown(), (QStringList{first, first, "2.10", "QN-J AC", "210", "36"}));
        if (situation == QLatin1String("record is a folder")) {
            QVERIFY(QFile::remove(rig.recordPath()) && QDir().mkpath(rig.recordPath()));
        } else if (situation == QLatin1String("record's folder blocked")) {
            // A plain file where the folder should go: nothing can be created in it.
            QVERIFY(QDir(rig.dir.filePath(QStringLiteral("data"))).removeRecursively());
            rig.write(QStringLiteral("data"), {});
        }
        const int descriptors = openDescriptors();

        if (situation == QLatin1String("dialog cancelled")) {
            rig.tp.fileDialog.cancel();
        } else if (situation == QLatin1String("dialog fails")) {
            rig.tp.fileDialog.answers.push_back(
                {FileDialogResult::Outcome::Failed, {}, QStringLiteral("No display")});
        } else {
            rig.tp.fileDialog.choose(path);
        }
        rig.click();

        const QString selected = situation.startsWith(QLatin1String("dialog")) ? first : path;
        const bool recordLost = situation.startsWith(QLatin1String("record"));
        QCOMPARE(rig.proposed(),
                 recordLost ? rig.folder() + QStringLiteral("/Flash.elf.E") : first);
        message.replace(QLatin1String("<file>"), path)
            .replace(QLatin1String("<record>"), rig.recordPath())
            .replace(QLatin1String("<folder>"), rig.folder());
        QCOMPARE(rig.seen.texts(), message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(rig.enabledWhileMessage, std::vector<bool>(message.isEmpty() ? 0 : 1, false));
        QCOMPARE(rig.shown(), QStringList({selected, selected}) + shown);
        QCOMPARE(rig.record(), recordLost ? QByteArray("<no record>") : recordOf(selected));
        QCOMPARE(rig.seen.actions.startDownload, startDownload);
        QVERIFY(rig.seen.actions.openPrograms);
        QCOMPARE(openDescriptors(), descriptors);
    }
};

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
