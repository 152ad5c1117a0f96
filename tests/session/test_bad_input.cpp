// Firmware files that are not what they should be, chosen and then downloaded
// through the session against the simulated drive: each ends with its message,
// the drive keeps nothing it did not get whole, and the window stays usable.
#include <QtTest>

#include "Bytes.h"
#include "Doubles.h"
#include "SimulatedDriveLink.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QString kComplete = QStringLiteral("Firmware Download is complete");

// Bytes this process has read from files so far.
qint64 bytesRead() {
    QFile io(QStringLiteral("/proc/self/io"));
    const QByteArray text = io.open(QIODevice::ReadOnly) ? io.readAll() : QByteArray();
    const qsizetype at = text.indexOf("rchar: ") + 7;
    return text.mid(at, text.indexOf('\n', at) - at).toLongLong();
}

// The session on doubles with the simulated drive announced on COM1.
struct Rig {
    explicit Rig(drivesim::DriveOptions o) : drive(tp, o) {
        tp.time.passStep = 5e-6;
        tp.serial.setOpenResult(1, 0);
        session.Form_Load();
        drive.powerUp();
        session.Delay(500);
    }
    void choose(const QString& path) {
        tp.fileDialog.choose(path);
        session.OpenPrograms_Click();
    }
    void download(const std::function<void()>& midTransfer = {}) {
        seen.shown.clear();
        tp.serial.clearTransmitted();
        std::function<void()> poll = [&] {
            session.downloadState().BlockCount >= 2 ? midTransfer() : tp.time.after(1e-3, poll);
        };
        if (midTransfer) {
            tp.time.after(1e-3, poll);
        }
        session.StartDownload_Click();
    }
    // Every way out leaves the port at 9600, the flags clear and the buttons usable.
    void checkUsable() {
        const DownloadState& d = session.downloadState();
        QVERIFY(!d.Downloading && !d.DownloadDone && !d.BootEntered && !session.ended());
        QVERIFY(tp.serial.isOpen());
        QCOMPARE(tp.serial.settings(), QStringLiteral("9600,N,8,1"));
        QVERIFY(seen.actions.openPrograms && !seen.actions.startDownload);
    }

    TestPlatform tp;
    RecordingObserver seen;
    Session session{tp.platform, seen};
    SimulatedDriveLink drive;
};

}  // namespace

class BadInputTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { qputenv("XDG_DATA_HOME", QFile::encodeName(home.path())); }

    void badFiles_data() {
        QTest::addColumn<QByteArray>("chosen");     // null: a folder
        QTest::addColumn<QByteArray>("rewritten");  // before the click or mid-transfer
        QTest::addColumn<QString>("chooseMessage");
        QTest::addColumn<QString>("downloadMessage");
        QTest::addColumn<QString>("fileModel");  // afterwards
        const QString header =
            QStringLiteral("Error: The header of the firmware file \"<path>\" cannot be read: ");
        const QString cannotOpen =
            QStringLiteral("Error: Cannot open the firmware file \"<path>\": ");
        const QString notFound = QStringLiteral("The File <path> could not be found");
        const QByteArray good = firmware("55", 1000);
        const QByteArray none;
        const QByteArray elf = QByteArray("\x7f\x45LF\x01\x01\x01\0\0\0\r\n\x02\0(\0", 17) + good;
        const QString notText = header + "revision field: byte 0x7f is not text";

        // 2^32 + 49 would wrap onto KX-M3; unknown, it loads as the rules say.
        QTest::newRow("huge numbers")
            << firmware("4294967345", 600, "99999.99") << none << "" << kComplete << "Unknown";
        QTest::newRow("binary garbage") << elf << none << notText << notText << "None";
        QTest::newRow("a folder") << QByteArray() << none
                                  << cannotOpen + "file to open is a directory" << notFound
                                  << "None";
        QTest::newRow("shrunk after choosing")
            << good << firmware("55", 300) << "" << kComplete << "KX-M1";
        QTest::newRow("replaced by another drive's file")
            << good << firmware("49", 1000, "2.00") << ""
            << "The Selected Firmware File cannot be loaded into the Attached Drive"
            << "KX-M1";
        QTest::newRow("rewritten during the transfer")
            << good << firmware("55", 1000, "1.08") << ""
            << "The Firmware file changed during the download"
            << "KX-M1";
    }
    void badFiles() {
        QFETCH(QByteArray, chosen);
        QFETCH(QByteArray, rewritten);
        QFETCH(QString, chooseMessage);
        QFETCH(QString, downloadMessage);
        const QByteArray tag = QTest::currentDataTag();
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Flash.E"));
        // Built a day ago: a rewrite shows in the time of last change.
        const QDateTime built = QDateTime::currentDateTime().addDays(-1);
        QVERIFY(chosen.isNull() ? QDir().mkpath(path) : writeFile(path, chosen, built));
        drivesim::DriveOptions o;
        if (downloadMessage == kComplete) {
            o.firmwareFile = rewritten.isNull() ? chosen : rewritten;
        }
        Rig rig(o);
        rig.choose(path);
        QCOMPARE(rig.seen.texts().join(""), chooseMessage.replace("<path>", path));
        QCOMPARE(rig.seen.file.name, path);
        const bool during = tag.contains("during");
        QVERIFY(during || rewritten.isNull() || writeFile(path, rewritten));

        rig.download(during ? [&] { QVERIFY(writeFile(path, rewritten)); }
                            : std::function<void()>());

        QCOMPARE(rig.seen.texts(), QStringList{downloadMessage.replace("<path>", path)});
        QTEST(rig.seen.file.model, "fileModel");
        const auto verdict = rig.drive.lastVerdict();
        QVERIFY2(o.firmwareFile.isEmpty() || (verdict && verdict->identical),
                 qPrintable(rig.drive.transcriptText()));
        QCOMPARE(rig.tp.serial.transmitted().isEmpty(), o.firmwareFile.isEmpty() && !during);
        QCOMPARE(rig.drive.transcriptText().contains("command \"SA\""), !o.firmwareFile.isEmpty());
        rig.checkUsable();
    }

    // Choosing reads the header only, and the download reads the image as it
    // sends it: neither takes a 100 MB file into memory.
    void hundredMegabytes() {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("Big.E")));
        const QByteArray head = firmware("55", 0);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(head) == head.size() &&
                file.resize(head.size() + (100 << 20)));  // sparse: takes no disk space
        file.close();
        drivesim::DriveOptions o;
        o.errorAtByte = 700;
        Rig rig(o);
        const qint64 before = bytesRead();

        rig.choose(file.fileName());
        QCOMPARE(rig.seen.file.model, QStringLiteral("KX-M1"));
        rig.download();

        QCOMPARE(rig.seen.texts(), QStringList{"Drive sent back an error code"});
        QCOMPARE(rig.seen.progressMaximum, 100 << 20);
        QCOMPARE_LT(bytesRead() - before, 1 << 20);
        rig.checkUsable();
    }

  private:
    QTemporaryDir home;
};

QTEST_GUILESS_MAIN(BadInputTest)
#include "test_bad_input.moc"
