// The whole download on simulated time, through the session against the
// in-process simulated drive: every way it can end, with what the technician
// sees, what the drive received and the state the clean-up leaves.
#include <QtTest>

#include "Doubles.h"
#include "SimulatedDriveLink.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QString kComplete = QStringLiteral("Firmware Download is complete");
const QString kFailed = QStringLiteral("Firmware Download Failed");

QByteArray image(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    return bytes;
}

// A firmware file for model 55 at revision 1.07: header, three skipped bytes,
// then the image.
QByteArray firmwareFile(const QByteArray& body, const char* model = "55") {
    return QByteArray("1.07\r\n") + model + "\r\n" + "xyz" + body;
}

// The session, the simulated drive and a chosen firmware file; the drive has
// announced itself (serial) or the link is Ethernet.
struct Rig {
    explicit Rig(drivesim::DriveOptions options, const QByteArray& file, bool ethernet = false)
        : drive(tp, withFile(options, file)) {
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
        path = dir.filePath(QStringLiteral("Flash.E"));
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size()) {
            qFatal("cannot write the firmware file");
        }
        out.close();
        tp.serial.setOpenResult(1, 0);
        session.Form_Load();
        if (ethernet) {
            session.editAddress(drive.address());
            session.chooseLink(Link::Ethernet);
        }
        tp.fileDialog.choose(path);
        session.OpenPrograms_Click();
        if (!ethernet) {
            drive.powerUp();
            session.Delay(500);
        }
    }
    ~Rig() { qunsetenv("XDG_DATA_HOME"); }
    static drivesim::DriveOptions withFile(drivesim::DriveOptions o, const QByteArray& file) {
        o.firmwareFile = file;
        o.ipAddress = QStringLiteral("127.0.0.1");
        return o;
    }
    bool confirmed() const {
        return drive.lastVerdict() && drive.lastVerdict()->identical &&
               drive.lastVerdict()->duplicates == 0;
    }
    // The flags and the port as every way out must leave them.
    void checkCleanedUp(bool ethernet) {
        const DownloadState& d = session.downloadState();
        QVERIFY(!d.Downloading && !d.DownloadDone && !d.BootEntered && !d.QuitRequested);
        QCOMPARE(seen.progress, 0);
        QCOMPARE(session.serialState().CommSettings, QStringLiteral("9600,N,8,1"));
        QVERIFY(tp.serial.isOpen());
        QCOMPARE(tp.serial.settings(), QStringLiteral("9600,N,8,1"));
        QCOMPARE(seen.actions.startDownload, ethernet);
    }

    QTemporaryDir dir;
    QString path;
    TestPlatform tp;
    SimulatedDriveLink drive;
    RecordingObserver seen;
    Session session{tp.platform, seen};
};

}  // namespace

class DownloadSequenceTest : public QObject {
    Q_OBJECT
  private slots:
    void serial_data();
    void serial();
    void ethernet_data();
    void ethernet();
    void refusedBeforeAnythingIsSent_data();
    void refusedBeforeAnythingIsSent();
    void portClosedMidTransferShowsOneMessage();
    void quitDuringTheTransfer();
    void clickDuringTheHandlersWaitStartsAfterIt();
    void highSpeedBootLoaders();
};

void DownloadSequenceTest::serial_data() {
    QTest::addColumn<QString>("situation");
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("log");  // a line the status log must hold
    QTest::addColumn<QString>("driveRev");
    QTest::newRow("high-speed boot loader, last block of one byte")
        << "v5" << 4 * 256 + 1 << kComplete << "SA command Sent\r\n"
        << "1.07D";
    QTest::newRow("boot loader version 2 stays at 9600")
        << "v2" << 3 * 256 << kComplete << "SA command Sent\r\n"
        << "1.07D";
    QTest::newRow("drive already in its boot loader") << "blank" << 600 << kComplete << ""
                                                      << "1.07D";
    QTest::newRow("QT not sent: HM goes too") << "noQT" << 300 << kComplete << ""
                                              << "1.07D";
    QTest::newRow("SV suffix not a letter") << "suffix5" << 300 << kComplete << ""
                                            << "1.07";
    QTest::newRow("E from the drive") << "error" << 2000 << "Drive sent back an error code"
                                      << ""
                                      << "1.05";
    QTest::newRow("no dot for 21 blocks")
        << "noDots" << 30 * 256 << "The Drive is not responding to download"
        << ""
        << "1.05";
    QTest::newRow("SA unanswered") << "noSA" << 300 << kFailed << "Download not saved\r\n"
                                   << "1.07";
}

void DownloadSequenceTest::serial() {
    QFETCH(QString, situation);
    QFETCH(int, imageSize);
    QFETCH(QString, message);
    QFETCH(QString, log);
    QFETCH(QString, driveRev);
    drivesim::DriveOptions o;
    o.bootLoaderVersion = situation == "v2" ? 2 : 5;
    o.blank = situation == "blank";
    o.revisionSuffix = situation == "suffix5" ? '5' : 'D';
    o.errorAtByte = situation == "error" ? 1000 : -1;
    o.dotEveryBytes = situation == "noDots" ? 0 : 256;
    o.replyToSA = situation != "noSA";
    const QByteArray body = image(imageSize);
    Rig rig(o, firmwareFile(body));
    if (situation == "noQT") {
        rig.session.serialState().QTSent = false;
    }
    const bool succeeds = message == kComplete;

    rig.session.StartDownload_Click();

    QCOMPARE(rig.seen.texts(), QStringList{message});
    QCOMPARE(rig.seen.shown[0].icon, succeeds             ? MessageIcon::Exclamation
                                     : message == kFailed ? MessageIcon::Critical
                                                          : MessageIcon::None);
    QVERIFY2(rig.seen.status.contains(log), qPrintable(rig.seen.status));
    if (succeeds || message == kFailed) {
        QVERIFY2(rig.confirmed(), qPrintable(rig.drive.transcriptText()));
        QCOMPARE(rig.session.downloadSequence().lastOutcome().bytesSent, imageSize);
    } else {
        QVERIFY(!rig.drive.lastVerdict() || !rig.drive.lastVerdict()->identical);
    }
    QCOMPARE(rig.seen.drive.revision, driveRev);
    const QString transcript = rig.drive.transcriptText();
    QCOMPARE(transcript.contains(QLatin1String("command \"S\"")), !o.blank);
    QCOMPARE(transcript.contains(QLatin1String("command \"HM\"")), situation == "noQT");
    QCOMPARE(rig.tp.serial.settingsHistory().contains(QStringLiteral("115200,N,8,1")),
             o.bootLoaderVersion == 5);
    rig.checkCleanedUp(false);
}

void DownloadSequenceTest::ethernet_data() {
    QTest::addColumn<bool>("silentAfter");
    QTest::addColumn<QString>("message");
    QTest::newRow("confirmed") << false << "Firmware Download Successful";
    QTest::newRow("the drive does not answer afterwards") << true << kFailed;
}

void DownloadSequenceTest::ethernet() {
    QFETCH(bool, silentAfter);
    QFETCH(QString, message);
    const QByteArray body = image(20 * 200 + 1);
    Rig rig({}, firmwareFile(body), true);
    if (silentAfter) {
        // Once the drive has judged the image, the host's checks go where
        // no drive answers.
        std::function<void()> watch = [&] {
            if (rig.drive.lastVerdict()) {
                rig.session.editAddress(QStringLiteral("127.0.0.2"));
            } else {
                rig.tp.time.after(0.01, watch);
            }
        };
        rig.tp.time.after(0.01, watch);
    }
    const double start = rig.tp.time.now();

    rig.session.StartDownload_Click();

    QCOMPARE(rig.seen.texts(), QStringList{message});
    QVERIFY2(rig.confirmed(), qPrintable(rig.drive.transcriptText()));
    QCOMPARE(rig.seen.drive.model, QStringLiteral("KX-M1"));
    // Two checks after 2 s, a third after another second when they fail.
    QVERIFY(rig.tp.time.now() - start > (silentAfter ? 3.0 : 2.0));
    QCOMPARE(rig.tp.udp.sent().front().data, QByteArray::fromHex("0012"));
    rig.checkCleanedUp(true);
}

void DownloadSequenceTest::refusedBeforeAnythingIsSent_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("message");
    const QByteArray good = firmwareFile(image(300));
    const QString empty = QStringLiteral("The Firmware file was empty");
    QTest::newRow("no file chosen") << good << "none"
                                    << "No Firmware Download File was selected";
    QTest::newRow("file deleted since") << good << "deleted"
                                        << "The File <path> could not be found";
    QTest::newRow("7 bytes") << QByteArray("1.07\r\n5") << "" << empty;
    QTest::newRow("header without image") << QByteArray("1.07\r\n55\r\nxyz") << "" << empty;
    QTest::newRow("not for this drive") << firmwareFile(image(300), "20") << ""
                                        << "The Selected Firmware File cannot be loaded into the "
                                           "Attached Drive";
}

void DownloadSequenceTest::refusedBeforeAnythingIsSent() {
    QFETCH(QByteArray, file);
    QFETCH(QString, situation);
    QFETCH(QString, message);
    Rig rig({}, file);
    if (situation == "none") {
        rig.session.report().setFileName(QStringLiteral("Not Loaded"));
    } else if (situation == "deleted") {
        QFile::remove(rig.path);
    }
    rig.seen.shown.clear();
    rig.tp.serial.clearTransmitted();

    rig.session.StartDownload_Click();

    QCOMPARE(rig.seen.texts(), QStringList{message.replace("<path>", rig.path)});
    QVERIFY(rig.tp.serial.transmitted().isEmpty());
    QVERIFY(!rig.drive.lastVerdict());
    rig.checkCleanedUp(false);
}

// The port vanishing under the transfer: one message, no success.
void DownloadSequenceTest::portClosedMidTransferShowsOneMessage() {
    Rig rig({}, firmwareFile(image(4000)));
    rig.tp.time.after(1.5, [&rig] { rig.tp.serial.close(); });
    rig.session.StartDownload_Click();
    QCOMPARE(rig.seen.texts(), QStringList{"Comm Port Not Open"});
    QCOMPARE(rig.session.downloadSequence().lastOutcome().end, DownloadEnd::PortNotOpen);
    rig.checkCleanedUp(false);
}

void DownloadSequenceTest::quitDuringTheTransfer() {
    Rig rig({}, firmwareFile(image(8000)));
    rig.tp.time.after(1.5, [&rig] { rig.session.Quit_Click(); });
    rig.session.StartDownload_Click();
    QVERIFY(rig.seen.shown.empty());
    QCOMPARE(rig.session.downloadSequence().lastOutcome().end, DownloadEnd::Stopped);
    QVERIFY(!rig.drive.transcriptText().contains(QLatin1String("command \"SA\"")));
    QVERIFY(rig.session.ended());
    QVERIFY(!rig.tp.serial.isOpen());
}

// A click while the receive handler waits 100 ms after the power-up packet
// runs once the handler has returned, and the download works.
void DownloadSequenceTest::clickDuringTheHandlersWaitStartsAfterIt() {
    drivesim::DriveOptions o;
    const QByteArray file = firmwareFile(image(700));
    Rig rig(o, file);
    rig.seen.shown.clear();
    rig.drive.powerUp();
    bool clicked = false;
    rig.tp.time.after(0.05, [&] {
        QVERIFY(rig.session.serialState().InOnComm);
        rig.session.StartDownload_Click();
        clicked = true;
    });
    rig.session.Delay(20000);
    QVERIFY(clicked);
    QCOMPARE(rig.seen.texts(), QStringList{kComplete});
    QVERIFY2(rig.confirmed(), qPrintable(rig.drive.transcriptText()));
}

void DownloadSequenceTest::highSpeedBootLoaders() {
    QList<int> fast;
    for (int version = -1; version <= 256; ++version) {
        if (IsHighSpeedBootLoader(version)) {
            fast << version;
        }
    }
    QCOMPARE(fast, (QList<int>{1, 5, 21, 37, 53}));
}

QTEST_MAIN(DownloadSequenceTest)
#include "test_download_sequence.moc"
