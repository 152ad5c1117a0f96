// The whole download on simulated time, through the session against the
// in-process simulated drive: every way it can end, with what the technician
// sees, what the drive received and the state the clean-up leaves.
#include <QtTest>

#include "TransferRig.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QString kComplete = QStringLiteral("Firmware Download is complete");
const QString kFailed = QStringLiteral("Firmware Download Failed");

// A firmware file for `model` at revision 1.07: header, three skipped bytes, image.
QByteArray firmwareFile(int imageSize, const char* model = "55") {
    return QByteArray("1.07\r\n") + model + "\r\nxyz" + testImage(imageSize);
}

// The simulated drive expecting `file`, chosen in the session; the drive has
// announced itself (serial) or the link is Ethernet.
struct DownloadRig : Rig {
    DownloadRig(drivesim::DriveOptions o, const QByteArray& file, bool ethernet = false)
        : Rig((o.firmwareFile = file, o), ethernet) {
        tp.time.passStep = 5e-6;  // a real event pass costs microseconds
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
        out.close();
        tp.fileDialog.choose(path);
        session.OpenPrograms_Click();
        if (!ethernet) {
            drive.powerUp();
            session.Delay(500);
        }
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
    const DownloadOutcome& outcome() { return session.downloadSequence().lastOutcome(); }
    // Runs `action` as soon as `condition` holds, looking every millisecond.
    void when(std::function<bool()> condition, std::function<void()> action) {
        poll = [=, this] { condition() ? action() : tp.time.after(0.001, poll); };
        tp.time.after(0.001, poll);
    }
    bool midTransfer() { return session.downloadState().BlockCount >= 2; }

    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("Flash.E"));
    std::function<void()> poll;
};

}  // namespace

class DownloadSequenceTest : public QObject {
    Q_OBJECT
  private slots:
    // The firmware folder's record goes here, not into the user's home.
    void initTestCase() { qputenv("XDG_DATA_HOME", QFile::encodeName(home.path())); }

    void serial_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("imageSize");
        QTest::addColumn<QString>("message");
        QTest::addColumn<qint64>("sent");  // image bytes delivered
        QTest::addColumn<QString>("log");  // a line the status log must hold
        QTest::addColumn<QString>("driveRev");
        const QString saved = QStringLiteral("SA command Sent\r\n");
        auto row = [](const char* name, const char* situation, int size, const QString& message,
                      qint64 sent, const QString& log, const char* rev) {
            QTest::newRow(name) << situation << size << message << sent << log << rev;
        };
        row("high speed, XOFFs, last block 1 byte", "v5", 32 * 256 + 1, kComplete, 32 * 256 + 1,
            saved, "1.07D");
        row("version 2 stays at 9600", "v2", 3 * 256, kComplete, 768, saved, "1.07D");
        row("already in the boot loader", "blank", 600, kComplete, 600, saved, "1.07D");
        row("QT not sent: HM too", "noQT", 300, kComplete, 300, saved, "1.07D");
        row("SV suffix not a letter", "5", 300, kComplete, 300, saved, "1.07");
        row("SV suffix z", "z", 300, kComplete, 300, saved, "1.07z");
        row("SV reply of four bytes", "\r", 300, kComplete, 300, saved, "0.00");
        row("E from the drive", "error", 2000, "Drive sent back an error code", 768, "E", "1.05");
        row("no dot for 21 blocks", "noDots", 30 * 256, "The Drive is not responding to download",
            21 * 256, "", "1.05");
        row("SA unanswered", "noSA", 300, kFailed, 300, "Download not saved\r\n", "1.07");
        row("port closed", "close", 4000, "Comm Port Not Open", -1, "", "1.05");
        row("XOFF never lifted", "xoff", 4000, "Timeout waiting to send data to drive", -1,
            "Timed Out waiting to send Data", "1.05");
    }
    void serial() {
        QFETCH(QString, situation);
        QFETCH(int, imageSize);
        QFETCH(QString, message);
        QFETCH(qint64, sent);
        QFETCH(QString, log);
        drivesim::DriveOptions o;
        o.bootLoaderVersion = situation == "v2" ? 2 : 5;
        o.blank = situation == "blank";
        o.revisionSuffix = situation.size() == 1 ? situation[0].toLatin1() : 'D';
        o.errorAtByte = situation == "error" ? 1000 : -1;
        o.dotEveryBytes = situation == "noDots" ? 0 : 256;
        o.replyToSA = situation != "noSA";
        DownloadRig rig(o, firmwareFile(imageSize));
        if (situation == "noQT") {
            rig.session.serialState().QTSent = false;
        }
        rig.when([&] { return rig.midTransfer(); },
                 [&] {
                     if (situation == "close") {
                         rig.tp.serial.close();
                     } else if (situation == "xoff") {
                         rig.drive.sendSerial("\x13");
                     }
                 });

        rig.session.StartDownload_Click();

        QCOMPARE(rig.seen.texts(), QStringList{message});
        const bool saved = message == kComplete || message == kFailed;
        QCOMPARE(rig.seen.shown[0].icon, message == kComplete ? MessageIcon::Exclamation
                                         : message == kFailed ? MessageIcon::Critical
                                                              : MessageIcon::None);
        QVERIFY2(rig.seen.status.contains(log), qPrintable(rig.seen.status));
        QVERIFY2(rig.confirmed() == saved, qPrintable(rig.drive.transcriptText()));
        QVERIFY(sent < 0 || rig.outcome().bytesSent == sent);
        QVERIFY(imageSize < 8000 || rig.drive.lastVerdict()->xoffsSent > 0);
        QTEST(rig.seen.drive.revision, "driveRev");
        const QString transcript = rig.drive.transcriptText();
        QCOMPARE(transcript.contains(QLatin1String("command \"S\"")), !o.blank);
        QCOMPARE(transcript.contains(QLatin1String("command \"HM\"")), situation == "noQT");
        QCOMPARE(rig.tp.serial.settingsHistory().contains(QStringLiteral("115200,N,8,1")),
                 o.bootLoaderVersion == 5);
        rig.checkCleanedUp(false);
    }

    void ethernet_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("message");
        QTest::addColumn<double>("atLeast");  // seconds the download takes
        QTest::addColumn<int>("packets");     // data datagrams sent
        QTest::newRow("confirmed") << ""
                                   << "Firmware Download Successful" << 2.0 << 21;
        QTest::newRow("silent afterwards") << "silent" << kFailed << 3.0 << 21;
        QTest::newRow("no count reply")
            << "noCounts"
            << "Did not receive packet acknowledge from drive. Unable to get packet receive "
               "count from drive."
            << 5.4 << 1;
        QTest::newRow("dropped five times")
            << "noData"
            << "Same outbound data packet was dropped five times.\r\n"
               "You may have too much traffic on your network.\r\n"
               "Please cycle power on the drive before trying again."
            << 25.4 << 5;
        // Block 3's acknowledgement comes after its wait and passes for
        // block 4's, which was lost: the drive's count gives the gap away.
        QTest::newRow("late ack taken for a lost block's") << "lateAck" << kFailed << 5.0 << 21;
    }
    void ethernet() {
        QFETCH(QString, situation);
        QFETCH(QString, message);
        QFETCH(double, atLeast);
        drivesim::DriveOptions o;
        o.ignoreCountQueries = situation == "noCounts";
        o.dropAckFraction = situation == "noCounts" ? 1.0 : 0.0;
        o.dropDataFraction = situation == "noData" ? 1.0 : 0.0;
        o.quietTime = situation == "lateAck" ? 60 : o.quietTime;
        DownloadRig rig(o, firmwareFile(20 * 200 + 1), true);
        if (situation == "lateAck") {
            rig.udp.acks = {{3, 5.2}};
            rig.udp.data = {{4, -1}};
        }
        if (situation == "silent") {  // once the drive has judged the image, nobody answers
            rig.when([&] { return rig.drive.lastVerdict().has_value(); },
                     [&] { rig.session.editAddress(QStringLiteral("127.0.0.2")); });
        }

        rig.session.StartDownload_Click();

        QCOMPARE(rig.seen.texts(), QStringList{message});
        QVERIFY(rig.outcome().seconds > atLeast);
        const bool delivered = atLeast < 5.0;
        QVERIFY2(rig.confirmed() == delivered, qPrintable(rig.drive.transcriptText()));
        QTEST(rig.session.downloadState().DataPacketsSent, "packets");
        QCOMPARE(
            rig.seen.status.contains(QLatin1String("The drive received 20 of 21 data packets")),
            situation == "lateAck");
        QCOMPARE(rig.seen.drive.model, QStringLiteral("KX-M1"));
        QCOMPARE(rig.tp.udp.sent().front().data, QByteArray::fromHex("0012"));
        rig.checkCleanedUp(true);
    }

    void refusedBeforeAnythingIsSent_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("message");
        const QString empty = QStringLiteral("The Firmware file was empty");
        QTest::newRow("no file chosen") << firmwareFile(300) << "none"
                                        << "No Firmware Download File was selected";
        QTest::newRow("file deleted") << firmwareFile(300) << "deleted"
                                      << "The File <path> could not be found";
        QTest::newRow("7 bytes") << QByteArray("1.07\r\n5") << "" << empty;
        QTest::newRow("no image") << QByteArray("1.07\r\n55\r\nxyz") << "" << empty;
        QTest::newRow("not for this drive")
            << firmwareFile(300, "20") << ""
            << "The Selected Firmware File cannot be loaded into the Attached Drive";
    }
    void refusedBeforeAnythingIsSent() {
        QFETCH(QByteArray, file);
        QFETCH(QString, situation);
        QFETCH(QString, message);
        DownloadRig rig({}, file);
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

    void quitDuringTheTransfer() {
        DownloadRig rig({}, firmwareFile(8000));
        rig.when([&] { return rig.midTransfer(); }, [&] { rig.session.Quit_Click(); });
        rig.session.StartDownload_Click();
        QVERIFY(rig.seen.shown.empty());
        QCOMPARE(rig.outcome().end, DownloadEnd::Stopped);
        QVERIFY(!rig.drive.transcriptText().contains(QLatin1String("command \"SA\"")));
        const DownloadState& d = rig.session.downloadState();
        QVERIFY(!d.Downloading && !d.BootEntered && !d.QuitRequested);
        QVERIFY(rig.session.ended());
        QVERIFY(!rig.tp.serial.isOpen());
    }

    // A click while the receive handler waits 100 ms after the power-up packet
    // runs once the handler has returned, and the download works.
    void clickDuringTheHandlersWait() {
        DownloadRig rig({}, firmwareFile(700));
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

  private:
    QTemporaryDir home;
};

QTEST_MAIN(DownloadSequenceTest)
#include "test_download_sequence.moc"
