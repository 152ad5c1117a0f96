#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <optional>

#include "Doubles.h"
#include "firmware/FirmwareChooser.h"
#include "shell/Mainform.h"

using kestrel::Button;
using kestrel::FileDialogResult;
using kestrel::Label;
using kestrel::Mainform;
using kestrel::testing::TestPlatform;

namespace {

const QByteArray kImage("\x00\x01\x02\xff\r\n\x7f", 7);

// The window on doubles, loaded, with the start-up messages out of the way.
struct Rig {
    Rig() {
        tp.serial.setOpenResult(1, 0);
        form.Form_Load();
        tp.messages.shown.clear();
    }
    void click() { form.findChild<QPushButton*>(QStringLiteral("OpenPrograms"))->click(); }
    QString proposed() const { return tp.fileDialog.calls.back().initialName; }

    TestPlatform tp;
    Mainform form{tp.platform};
};

struct Shown {
    QString fileName, rev, model;
    int revNumber = 0, modelCode = 0;
};

Shown shown(Mainform& form) {
    return {form.caption(Label::FileName), form.caption(Label::FileRev),
            form.caption(Label::FileModel), form.firmwareState().FileRevNumber,
            form.firmwareState().FileModelCode};
}

bool operator==(const Shown& a, const Shown& b) {
    return a.fileName == b.fileName && a.rev == b.rev && a.model == b.model &&
           a.revNumber == b.revNumber && a.modelCode == b.modelCode;
}

// What the window shows before any file is chosen.
Shown nothingLoaded() {
    return {QStringLiteral("Not Loaded"), QStringLiteral("0.00"), QStringLiteral("None"), 0, 0};
}

// Open descriptors of this process, to see that every way out closes the file.
int openDescriptors() {
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// Records whether OpenPrograms was enabled while the dialog was open.
class WatchingDialog final : public kestrel::FileDialog {
  public:
    WatchingDialog(kestrel::FileDialog& inner, kestrel::WindowView& view)
        : inner_(inner), view_(view) {}
    FileDialogResult getOpenFileName(const QString& title, const QString& filter,
                                     const QString& initialName) override {
        enabledWhileOpen = view_.isEnabled(Button::OpenPrograms);
        return inner_.getOpenFileName(title, filter, initialName);
    }
    std::optional<bool> enabledWhileOpen;

  private:
    kestrel::FileDialog& inner_;
    kestrel::WindowView& view_;
};

}  // namespace

class TestFirmwareChooser : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void firstUseCreatesFolderAndProposesDefault();
    void headerOutcomes_data();
    void headerOutcomes();
    void unopenableFile_data();
    void unopenableFile();
    void rememberedPathCannotBeWritten_data();
    void rememberedPathCannotBeWritten();
    void cancelChangesNothing();
    void dialogFailureIsReported();
    void secondChoiceReplacesFirst();
    void rememberedPathProposed_data();
    void rememberedPathProposed();
    void startDownloadFollowsLink_data();
    void startDownloadFollowsLink();
    void openProgramsDisabledWhileHandling();

  private:
    QString writeFile(const QString& name, const QByteArray& content);
    QString folder() const { return dir_->filePath(QStringLiteral("data/Veltrane")); }
    QString recordPath() const { return folder() + QStringLiteral("/FirmwareFile.txt"); }
    QByteArray record() const;
    static QByteArray recordOf(const QString& path) { return '"' + path.toUtf8() + "\"\r\n"; }

    std::unique_ptr<QTemporaryDir> dir_;
};

void TestFirmwareChooser::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    QVERIFY(QDir().mkpath(dir_->filePath(QStringLiteral("files"))));
    // The folder's parent exists but the folder does not: a first use.
    QVERIFY(QDir().mkpath(dir_->filePath(QStringLiteral("data"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir_->filePath(QStringLiteral("data"))));
}

void TestFirmwareChooser::cleanup() {
    qunsetenv("XDG_DATA_HOME");
    dir_.reset();
}

QString TestFirmwareChooser::writeFile(const QString& name, const QByteArray& content) {
    const QString path = dir_->filePath(QStringLiteral("files/") + name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
        qFatal("cannot write %s", qPrintable(path));
    }
    return path;
}

QByteArray TestFirmwareChooser::record() const {
    QFile file(recordPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no record>");
}

void TestFirmwareChooser::firstUseCreatesFolderAndProposesDefault() {
    Rig rig;
    QVERIFY(!QFileInfo::exists(folder()));
    rig.click();

    QVERIFY(QFileInfo(folder()).isDir());
    QCOMPARE(rig.tp.fileDialog.calls.size(), 1u);
    const auto& call = rig.tp.fileDialog.calls.front();
    QCOMPARE(call.title, QStringLiteral("Open DSP Firmware File"));
    QCOMPARE(call.filter, QStringLiteral("Firmware Files *.E|*.E|"));
    QCOMPARE(call.initialName, folder() + QStringLiteral("/Flash.elf.E"));
    // The dialog was cancelled: nothing shown, nothing remembered.
    QVERIFY(rig.tp.messages.shown.empty());
    QVERIFY(shown(rig.form) == nothingLoaded());
    QVERIFY(!QFileInfo::exists(recordPath()));
    QVERIFY(rig.form.isEnabled(Button::OpenPrograms));
}

void TestFirmwareChooser::headerOutcomes_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("rev");
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("revNumber");
    QTest::addColumn<int>("modelCode");
    QTest::addColumn<QString>("message");  // %1 stands for the file's path

    const QByteArray rest = "abc" + kImage;
    QTest::newRow("1.05 and 57") << "1.05\r\n57\r\n" + rest << "1.05"
                                 << "KX-M1" << 105 << 57 << QString();
    QTest::newRow("144") << "2.10,144\r\n" + rest << "2.10"
                         << "Unknown" << 210 << 144 << QString();
    QTest::newRow("2") << "2\r\n57\r\n" + rest << "2"
                       << "KX-M1" << 2 << 57 << QString();
    QTest::newRow("quoted fields, LF") << "\"1.05\",\"22\"\n" + rest << "1.05"
                                       << "QN-A" << 105 << 22 << QString();
    QTest::newRow("CR line ends") << "1.05\r129\r" + rest << "1.05"
                                  << "QN-F" << 105 << 129 << QString();
    QTest::newRow("model too large") << "1.05\r\n70000\r\n" + rest << "1.05"
                                     << "Unknown" << 105 << 0 << QString();
    QTest::newRow("odd revision") << "x.yz\r\n57\r\n" + rest << "x.yz"
                                  << "KX-M1" << 0 << 57 << QString();
    QTest::newRow("only 1.05 and a line end")
        << QByteArray("1.05\r\n") << "1.05"
        << "None" << 105 << 0 << QStringLiteral("The Firmware file was empty");
    QTest::newRow("empty file") << QByteArray() << "0.00"
                                << "None" << 0 << 0
                                << QStringLiteral("The Firmware file was empty");
    QTest::newRow("model field unreadable")
        << QByteArray("1.05\r\n\"57\r\n") << "1.05"
        << "None" << 105 << 0
        << QStringLiteral(
               "Error: The header of the firmware file \"%1\" cannot be read: model "
               "field: a quoted field has no closing quote");
    QTest::newRow("not a firmware file")
        << QByteArray(300, 'x') << "0.00"
        << "None" << 0 << 0
        << QStringLiteral(
               "Error: The header of the firmware file \"%1\" cannot be read: "
               "revision field: a field is longer than 256 characters");
}

// Every outcome of reading a real file, each from a first use.
void TestFirmwareChooser::headerOutcomes() {
    QFETCH(QByteArray, content);
    QFETCH(QString, rev);
    QFETCH(QString, model);
    QFETCH(int, revNumber);
    QFETCH(int, modelCode);
    QFETCH(QString, message);

    const QString path = writeFile(QStringLiteral("Drive Firmware.E"), content);
    Rig rig;
    const int descriptors = openDescriptors();
    rig.tp.fileDialog.choose(path);
    rig.click();

    QCOMPARE(
        rig.tp.messages.texts(),
        message.isEmpty()
            ? QStringList()
            : QStringList{message.contains(QStringLiteral("%1")) ? message.arg(path) : message});
    QVERIFY(shown(rig.form) == (Shown{path, rev, model, revNumber, modelCode}));
    QCOMPARE(rig.form.firmwareState().path, path);
    QCOMPARE(record(), recordOf(path));
    QVERIFY(rig.form.isEnabled(Button::OpenPrograms));
    QVERIFY(!rig.form.isEnabled(Button::StartDownload));  // serial: the drive enables it
    QCOMPARE(openDescriptors(), descriptors);
}

void TestFirmwareChooser::unopenableFile_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("isFolder");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "missing.E" << false << "No such file or directory";
    QTest::newRow("a folder") << "folder.E" << true << "file to open is a directory";
}

void TestFirmwareChooser::unopenableFile() {
    QFETCH(QString, name);
    QFETCH(bool, isFolder);
    QFETCH(QString, reason);
    const QString good = writeFile(QStringLiteral("good.E"), "1.05\r\n57\r\nabc" + kImage);
    const QString bad = dir_->filePath(QStringLiteral("files/") + name);
    if (isFolder) {
        QVERIFY(QDir().mkpath(bad));
    }
    Rig rig;
    rig.tp.fileDialog.choose(good);
    rig.click();
    const int descriptors = openDescriptors();
    rig.tp.fileDialog.choose(bad);
    rig.click();

    QCOMPARE(
        rig.tp.messages.texts(),
        QStringList{
            QStringLiteral("Error: Cannot open the firmware file \"%1\": %2").arg(bad, reason)});
    // The new path is the selected one; what the good file said stays.
    QVERIFY(shown(rig.form) ==
            (Shown{bad, QStringLiteral("1.05"), QStringLiteral("KX-M1"), 105, 57}));
    QCOMPARE(rig.form.firmwareState().path, bad);
    QCOMPARE(record(), recordOf(bad));
    QVERIFY(rig.form.isEnabled(Button::OpenPrograms));
    QCOMPARE(openDescriptors(), descriptors);
}

void TestFirmwareChooser::rememberedPathCannotBeWritten_data() {
    QTest::addColumn<bool>("folderBlocked");
    QTest::addColumn<QString>("reason");  // %1 stands for the firmware folder
    QTest::newRow("record is a folder") << false << "Filename refers to a directory";
    QTest::newRow("firmware folder cannot be created")
        << true << "the folder \"%1\" is missing and cannot be created";
}

void TestFirmwareChooser::rememberedPathCannotBeWritten() {
    QFETCH(bool, folderBlocked);
    QFETCH(QString, reason);
    if (folderBlocked) {
        // A plain file where the folder should go: nothing can be created in it.
        QVERIFY(QDir(dir_->path()).rmdir(QStringLiteral("data")));
        QFile blocker(dir_->filePath(QStringLiteral("data")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    } else {
        QVERIFY(QDir().mkpath(recordPath()));
    }
    const QString path = writeFile(QStringLiteral("good.E"), "1.05\r\n57\r\nabc" + kImage);
    Rig rig;
    const int descriptors = openDescriptors();
    rig.tp.fileDialog.choose(path);
    rig.click();

    QCOMPARE(rig.proposed(), folder() + QStringLiteral("/Flash.elf.E"));
    QCOMPARE(rig.tp.messages.texts(),
             QStringList{QStringLiteral("Error: Cannot remember the firmware file's path in "
                                        "\"%1\": %2")
                             .arg(recordPath(), reason.contains(QStringLiteral("%1"))
                                                    ? reason.arg(folder())
                                                    : reason)});
    // The choice stands, but the file is not read.
    QVERIFY(shown(rig.form) == (Shown{path, QStringLiteral("0.00"), QStringLiteral("None"), 0, 0}));
    QCOMPARE(rig.form.firmwareState().path, path);
    QVERIFY(rig.form.isEnabled(Button::OpenPrograms));
    QCOMPARE(openDescriptors(), descriptors);
}

void TestFirmwareChooser::cancelChangesNothing() {
    const QString path = writeFile(QStringLiteral("good.E"), "1.05\r\n57\r\nabc" + kImage);
    Rig rig;
    rig.tp.fileDialog.choose(path);
    rig.click();
    const Shown before = shown(rig.form);

    rig.tp.fileDialog.cancel();
    rig.click();

    QCOMPARE(rig.proposed(), path);
    QVERIFY(rig.tp.messages.shown.empty());
    QVERIFY(shown(rig.form) == before);
    QCOMPARE(rig.form.firmwareState().path, path);
    QCOMPARE(record(), recordOf(path));
    QVERIFY(rig.form.isEnabled(Button::OpenPrograms));
}

void TestFirmwareChooser::dialogFailureIsReported() {
    Rig rig;
    rig.tp.fileDialog.answers.push_back({FileDialogResult::Outcome::Failed,
                                         {},
                                         QStringLiteral("No display to show the dialog on")});
    rig.click();

    QCOMPARE(rig.tp.messages.texts(),
             QStringList{QStringLiteral("Error: No display to show the dialog on")});
    QVERIFY(shown(rig.form) == nothingLoaded());
    QVERIFY(rig.form.firmwareState().path.isEmpty());
    QVERIFY(!QFileInfo::exists(recordPath()));
    QVERIFY(rig.form.isEnabled(Button::OpenPrograms));
}

void TestFirmwareChooser::secondChoiceReplacesFirst() {
    // Spaces, a comma and letters beyond ASCII must survive the record.
    const QString first =
        writeFile(QStringLiteral("Früh, v1 Firmware.E"), "1.05\r\n57\r\nabc" + kImage);
    const QString second = writeFile(QStringLiteral("later.E"), "\"2.10\",\"129\"\r\nabc" + kImage);
    Rig rig;
    rig.tp.fileDialog.choose(first);
    rig.click();
    rig.tp.fileDialog.choose(second);
    rig.click();
    rig.tp.fileDialog.cancel();
    rig.click();

    QCOMPARE(rig.tp.fileDialog.calls.at(1).initialName, first);
    QCOMPARE(rig.proposed(), second);
    QVERIFY(rig.tp.messages.shown.empty());
    QVERIFY(shown(rig.form) ==
            (Shown{second, QStringLiteral("2.10"), QStringLiteral("QN-F"), 210, 129}));
    QCOMPARE(rig.form.firmwareState().path, second);
    QCOMPARE(record(), recordOf(second));
}

void TestFirmwareChooser::rememberedPathProposed_data() {
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("proposed");  // %1 stands for the firmware folder

    QTest::newRow("quoted full path") << QByteArray("\"/srv/fw/Flash.E\"\r\n") << "/srv/fw/Flash.E";
    QTest::newRow("comma in the path") << QByteArray("\"/srv/a,b.E\"\r\n") << "/srv/a,b.E";
    QTest::newRow("unquoted") << QByteArray("/srv/fw/x.E\r\n") << "/srv/fw/x.E";
    QTest::newRow("bare name lies in the folder") << QByteArray("\"Other.E\"\r\n") << "%1/Other.E";
    QTest::newRow("empty record") << QByteArray() << "%1/Flash.elf.E";
    QTest::newRow("empty field") << QByteArray("\"\"\r\n") << "%1/Flash.elf.E";
    QTest::newRow("unclosed quote") << QByteArray("\"/srv/fw/x.E") << "%1/Flash.elf.E";
}

void TestFirmwareChooser::rememberedPathProposed() {
    QFETCH(QByteArray, record);
    QFETCH(QString, proposed);
    QVERIFY(QDir().mkpath(folder()));
    QFile file(recordPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(record);
    file.close();

    Rig rig;
    rig.click();
    QCOMPARE(rig.proposed(),
             proposed.contains(QStringLiteral("%1")) ? proposed.arg(folder()) : proposed);
    QCOMPARE(this->record(), record);  // a cancelled choice leaves it alone
}

void TestFirmwareChooser::startDownloadFollowsLink_data() {
    QTest::addColumn<bool>("ethernet");
    QTest::addColumn<bool>("enabledBefore");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("enabledAfter");

    const QByteArray good = "1.05\r\n57\r\nabc" + kImage;
    QTest::newRow("serial, disabled") << false << false << good << false;
    QTest::newRow("serial, enabled") << false << true << good << true;
    QTest::newRow("ethernet, read") << true << false << good << true;
    QTest::newRow("ethernet, empty file") << true << false << QByteArray() << false;
    QTest::newRow("ethernet, revision only") << true << false << QByteArray("1.05\r\n") << false;
    QTest::newRow("ethernet, unreadable") << true << false << QByteArray("\"1.05") << false;
}

void TestFirmwareChooser::startDownloadFollowsLink() {
    QFETCH(bool, ethernet);
    QFETCH(bool, enabledBefore);
    QFETCH(QByteArray, content);
    QFETCH(bool, enabledAfter);
    const QString path = writeFile(QStringLiteral("f.E"), content);
    Rig rig;
    if (ethernet) {
        rig.form.selectEthernet();
    }
    rig.form.setEnabled(Button::StartDownload, enabledBefore);
    rig.tp.messages.shown.clear();
    rig.tp.fileDialog.choose(path);
    rig.click();
    QCOMPARE(rig.form.isEnabled(Button::StartDownload), enabledAfter);
}

void TestFirmwareChooser::openProgramsDisabledWhileHandling() {
    const QString good = writeFile(QStringLiteral("good.E"), "1.05\r\n57\r\nabc" + kImage);
    const QString empty = writeFile(QStringLiteral("empty.E"), {});
    Rig rig;
    WatchingDialog dialog(rig.tp.fileDialog, rig.form);
    kestrel::FirmwareChooser chooser(dialog, rig.tp.messages, rig.form, rig.form.firmwareState());
    std::vector<bool> enabledWhileMessage;
    rig.tp.messages.onShow = [&](const auto&) {
        enabledWhileMessage.push_back(rig.form.isEnabled(Button::OpenPrograms));
    };

    for (const QString& path : {good, empty}) {
        rig.tp.fileDialog.choose(path);
        dialog.enabledWhileOpen.reset();
        chooser.OpenPrograms_Click();
        QCOMPARE(dialog.enabledWhileOpen, std::optional<bool>(false));
        QVERIFY(rig.form.isEnabled(Button::OpenPrograms));
    }
    QCOMPARE(enabledWhileMessage, std::vector<bool>{false});
}

QTEST_MAIN(TestFirmwareChooser)
#include "test_firmwarechooser.moc"
