// The download on simulated time against the in-process simulated drive: Ethernet blocks
// through losses in every order, the whole download, every way it can end, and firmware
// files that are not what they should be.
#include <QtTest>

#include "Bytes.h"
#include "SessionProbe.h"
#include "SimulatedDriveLink.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

Faults lost(std::initializer_list<int> indexes) {
    Faults faults;
    std::ranges::for_each(indexes, [&](int i) { faults[i] = -1; });
    return faults;
}

// The session on the link chosen; the drive expects `file`.
struct Rig : TestSession {
    Rig(drivesim::DriveOptions o, const QByteArray& file, bool ethernet)
        : drive(tp, (o.ipAddress = QStringLiteral("127.0.0.1"), o.firmwareFile = file, o)) {
        tp.time.passStep = 5e-6;  // a real event pass costs microseconds
        tp.serial.setOpenResult(1, CommError::None);
        session.Form_Load();
        if (ethernet) {
            session.editAddress(drive.address());
            session.chooseLink(Link::Ethernet);
        }
    }
    // The drive received the image byte for byte, each byte once.
    bool confirmed() const {
        const auto v = drive.lastVerdict();
        return v && v->identical && v->duplicates == 0 && v->overruns == 0;
    }
    // Every way out leaves the flags clear, the port at 9600 and the window usable.
    void leftUsable(bool startAllowed) {
        const DownloadState& d = session.downloadState();
        QVERIFY(!d.Downloading && !d.DownloadDone && !d.BootEntered && !d.QuitRequested);
        QVERIFY(!session.ended() && seen.actions.openPrograms);
        QCOMPARE(seen.progress, 0);
        QVERIFY(tp.serial.isOpen() && tp.serial.settings() == "9600,N,8,1");
        QCOMPARE(seen.actions, (Actions{startAllowed, true, true, true}));
    }
    void midway(std::function<void()> action) {  // once the first block has gone
        auto& poll = polls.emplace_back();
        poll = [=, this, &poll] {
            session.downloadState().BlockCount >= 1 ? action() : tp.time.after(0.001, poll);
        };
        tp.time.after(0.001, poll);
    }

    // The port is of the kind `driver` names, and the host knows it.
    void portOfDriver(const QString& driver) {
        using drivesim::UsbSerialAdapter;
        if (driver == "serial8250") {
            model = std::make_unique<drivesim::Uart16550>(tp.time);
        } else if (driver == "cdc_acm") {
            model = std::make_unique<drivesim::CdcAcmDevice>(tp.time);
        } else if (!driver.isEmpty()) {
            model = std::make_unique<UsbSerialAdapter>(
                tp.time, UsbSerialAdapter::Chip{driver, 1e-3, 16e-3, 256, driver == "ftdi_sio"});
        }
        tp.serial.setModel(model.get());
        tp.serial.setOutputPolicy(model ? model->driverPolicy() : OutputPolicy{});
    }

    std::unique_ptr<drivesim::PortModel> model;
    SimulatedDriveLink drive;
    std::list<std::function<void()>> polls;
};

const Actions kNoActions{false, false, false, false};  // while a download runs
const QString kComplete = QStringLiteral("Firmware Download is complete");
const QString kFailed = QStringLiteral("Firmware Download Failed");
const QString kNoRevision = QStringLiteral(
    "The drive did not report its revision after the download; the firmware file is revision "
    "1.07");
const QString T = QStringLiteral("Timed out waiting for ack packet...");
const QString A =
    QStringLiteral("Inbound packet acknowledge dropped. Continuing with next packet...");
const QString R = QStringLiteral("Outbound packet dropped. Re-sending last packet...");

}  // namespace

class DownloadTest : public QObject {
    Q_OBJECT
  private slots:
    // The firmware folder's record goes here, not into the user's home.
    void initTestCase() { qputenv("XDG_DATA_HOME", QFile::encodeName(home.path())); }

    // Whether the drive holds the block just sent, by its 16-bit count of data datagrams.
    void driveHasBlock_data() {
        QTest::addColumn<QList<int>>("numbers");  // the drive's count, blocks delivered before, has
        QTest::newRow("65535th") << QList<int>{65535, 65534, 1};
        QTest::newRow("65536th, wrapped to 0") << QList<int>{0, 65535, 1};
    }
    void driveHasBlock() {
        QFETCH(QList<int>, numbers);
        QCOMPARE(kestrel::driveHasBlock(numbers[0], numbers[1]), numbers[2] == 1);
    }

    // Blocks sent one by one as the download does: how each ends and when.
    void ethernetBlocks_data() {
        QTest::addColumn<Faults>("data");
        QTest::addColumn<Faults>("acks");
        QTest::addColumn<int>("blocks");
        QTest::addColumn<QByteArray>("during");  // 0.1 ms into the first wait: drive text, or Quit
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("sent");         // DataPacketsSent afterwards
        QTest::addColumn<double>("duration");  // from the first send to the result (0: not checked)
        const Faults none;
        const double trip = 0.0004;  // there and back on the simulated network
        auto row = [](const char* name, const Faults& data, const Faults& acks, int blocks,
                      int result, const QString& status, int sent, double duration,
                      const QByteArray& during = {}) {
            QTest::newRow(name) << data << acks << blocks << during << result << status << sent
                                << duration;
        };
        row("acknowledged", none, none, 1, 0, "", 1, trip);
        // Each send waits 5 s; a count query 0.1 s, and 0.3 s more when unanswered.
        row("ack just in time", none, {{0, 4.99}}, 1, 0, "", 1, 4.99 + trip);
        row("ack lost, drive has it", none, lost({0}), 1, 0, T + A, 1, 5.1);
        row("lost once", lost({0}), none, 1, 0, T + R, 2, 5.1 + trip);
        row("never arrives", lost({0, 1, 2, 3, 4}), none, 1, 3, T + R.repeated(4), 5, 25.4);
        // An acknowledgement during the count waits: the count decides.
        row("late ack, drive has it", none, {{0, 5.05}}, 1, 0, T + A, 1, 5.1);
        row("late ack, count says lost", {{0, 5.02}}, none, 1, 0, T, 1, 5.1);
        // Eight blocks: block 1's first send is datagram 1, and so on until a loss.
        row("the resend's ack", lost({2}), lost({2}), 8, 0, T + R + A, 9, 0);
        // The drive's text goes to the log, across the ring's end, until an "E".
        row("E", none, none, 1, 1, "a\n\rb E", 1, 0.0001, "a\r\nb E.");
        row("Quit at once: no count query, no resend", lost({0}), none, 1, 6, "", 1, 0.0001,
            "Quit");
    }
    void ethernetBlocks() {
        QFETCH(int, blocks);
        const QByteArray image = testImage(200 * blocks);
        drivesim::DriveOptions o;
        o.quietTime = 60.0;  // the drive's end of the image outlasts the waits and resends
        Rig rig(o, firmwareFile(image), true);
        SessionProbe(rig.session).udpChannel().UDP_DCLcommand("B5827", 0);
        SessionProbe(rig.session).dataBlockTransfer().SendStartPacket();
        rig.seen.status.clear();
        QFETCH(Faults, data);
        QFETCH(Faults, acks);
        rig.tp.udp.dataFaults = data;
        rig.tp.udp.ackFaults = acks;
        QFETCH(QByteArray, during);
        SessionProbe(rig.session).udpState().UdpRingRead =
            SessionProbe(rig.session).udpState().UdpRingWrite = 199;
        rig.tp.time.after(0.0001, [&rig, during] {
            during == "Quit"
                ? rig.session.Quit_Click()
                : rig.tp.udp.receiveFromNetwork(datagram(15, during), rig.drive.address());
        });
        const double start = rig.tp.time.now();
        int result = 0;  // of the first block that is not delivered
        for (qsizetype at = 0; at < image.size() && result == 0; at += 200) {
            ++rig.session.downloadState().BlockCount;
            result = int(SessionProbe(rig.session)
                             .dataBlockTransfer()
                             .SendDataBlock(image.mid(at, 200), 199));
        }
        QTEST(result, "result");
        const double took = rig.tp.time.now() - start;
        QFETCH(double, duration);
        QVERIFY2(duration == 0 || qAbs(took - duration) < 0.002, qPrintable(QString::number(took)));
        QTEST(rig.seen.status, "status");
        QTEST(rig.session.downloadState().DataPacketsSent, "sent");
        if (result == 0) {
            SessionProbe(rig.session).waits().WaitMs(60500);  // the drive sees the end of the image
            QVERIFY2(rig.confirmed(), qPrintable(rig.seen.status));
            QCOMPARE(rig.session.downloadState().BlocksDelivered, blocks);
        }
    }

    void download_data() {
        QTest::addColumn<bool>("ethernet");
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("message");  // <path>: the file's; "|" between two
        QTest::addColumn<int>("sent");  // serial: image bytes delivered; Ethernet: data datagrams
        QTest::addColumn<QString>("log");  // a line the status log must hold
        QTest::addColumn<QString>("driveRev");
        QTest::addColumn<double>("atLeast");  // seconds taken; Ethernet: 0.7 s start-up + blocks
        auto serial = [](const char* name, const char* situation, int size, const QString& message,
                         int sent, const QString& log, const char* rev = "1.05") {
            QTest::newRow(name) << false << situation << firmware("55", size, "1.07") << message
                                << sent << log << rev << -1.0;
        };
        auto saved = [&](const char* name, const char* situation, int size, const char* rev) {
            serial(name, situation, size, kComplete, size, "SA command Sent\r\n", rev);
        };
        auto refused = [](const char* name, const QByteArray& file, const QString& message) {
            QTest::newRow(name) << false << "" << file << message << 0 << ""
                                << "1.05" << -1.0;
        };
        auto ethernet = [](const char* name, const char* situation, const QString& message,
                           int packets, double atLeast, const QString& log = {}) {
            QTest::newRow(name) << true << situation << firmware("55", 20 * 200 + 1, "1.07")
                                << message << packets << log << "" << 0.7 + atLeast;
        };
        saved("high speed, packet at 0.45 s, XOFFs, a 1-byte block", "v5", 32 * 256 + 1, "1.07D");
        saved("version 2 stays at 9600", "v2", 768, "1.07D");
        saved("already in the boot loader", "blank", 600, "1.07D");
        saved("QT not sent: HM too", "noQT", 300, "1.07D");
        // The saved revision's suffix shows when it is a letter, A to z.
        saved("SV suffix not a letter", "5", 300, "1.07");
        saved("SV suffix z", "z", 300, "1.07z");
        serial("SV reply of four bytes", "\r", 300, kComplete + "|" + kNoRevision, 300,
               "SA command Sent\r\n", "0.00");
        // The drive saved an image, but it runs its old revision afterwards.
        serial("SV reports another revision", "oldRevision", 300,
               kComplete +
                   "|The drive reports revision 1.05 after the download, but the firmware "
                   "file is revision 1.07",
               300, "SA command Sent\r\n", "1.05D");
        // It runs once the receive handler, waiting after a power-up packet, has returned.
        saved("clicked in the receive handler", "click", 700, "1.07D");
        // Nothing the technician does while the image goes changes the download.
        for (const char* input : {"port 2", "port 1", "serial option", "Ethernet option", "address",
                                  "open file", "download again"}) {
            saved(input, input, 2000, "1.07D");
        }
        // The drive restarts into its boot loader while the download waits to
        // save it: the button its packet enables comes on only after clean-up.
        saved("boot loader before SA, clicked", "boot loader", 600, "1.07D");
        serial("E from the drive", "error", 2000, "Drive sent back an error code", 768, "E");
        // 20 blocks may go without a "."; the 21st stops the download.
        serial("no dot for 21 blocks", "noDots", 30 * 256,
               "The Drive is not responding to download", 21 * 256, "");
        serial("SA unanswered", "noSA", 300, kFailed, 300, "Download not saved\r\n", "1.07");
        serial("SA refused", "S?", 300, kFailed, 300, "Download not saved\r\n", "1.07");
        serial("XOFF never lifted", "xoff", 4000, "Timeout waiting to send data to drive", -1,
               "Timed Out waiting to send Data");
        // On the ports technicians use; "on DRIVER" names the port's driver.
        // The drive takes 8000 bytes/s: each keeps up with it, and the last
        // bytes are on the wire before the line goes back to 9600.
        saved("16550 UART", "v5 on serial8250", 16 * 256 + 1, "1.07D");
        saved("CDC-ACM: its count in whole buffers", "v5 on cdc_acm", 16 * 256 + 1, "1.07D");
        saved("FTDI: it pauses on XOFF itself", "v5 on ftdi_sio", 16 * 256 + 1, "1.07D");
        serial("FTDI: the drive's E still seen", "error on ftdi_sio", 2000,
               "Drive sent back an error code", -1, "E");
        // The adapter swallows the XOFF: the hold shows as output that does
        // not drain, for 10 s.
        serial("FTDI: XOFF never lifted", "xoff on ftdi_sio", 4000,
               "Timeout waiting to send data to drive", -1, "Timed Out waiting to send Data");
        serial("no file chosen", "noFile", 300, "No Firmware Download File was selected", 0, "");
        // Under 8 bytes a file is empty whatever it holds.
        refused("7 bytes", "1.07\r\n\x01", "The Firmware file was empty");
        refused("8 bytes", "1.07\r\n\x01\x01",
                "Error: The header of the firmware file \"<path>\" cannot be read: model field: "
                "byte 0x01 is not text");
        refused("no image", "1.07\r\n55\r\nxyz", "The Firmware file was empty");
        ethernet("confirmed", "", "Firmware Download Successful", 21, 2.0);
        ethernet("silent afterwards", "silent", kFailed, 21, 3.0);
        ethernet("another host's datagrams", "stranger", "Firmware Download Successful", 21, 2.0,
                 "Ignored a datagram from 127.0.0.2: the drive is at 127.0.0.1\r\n");
        // Three count queries, 0.1 s, 0.3 s and 0.3 s, all unanswered.
        ethernet("count unanswered at the end", "lastCount", kFailed, 21, 0.7,
                 "The drive did not report how many data packets it received\r\n");
        ethernet("old revision afterwards", "oldRevision", kFailed, 21, 3.0,
                 "The drive reports revision 1.05 after the download; the file is 1.07\r\n");
        ethernet("serial traffic", "serial traffic", "Firmware Download Successful", 21, 2.0);
        ethernet("Ping", "Ping", "Firmware Download Successful", 21, 2.0);
        ethernet("no count reply", "noCounts",
                 "Did not receive packet acknowledge from drive. Unable to get packet receive "
                 "count from drive.",
                 1, 5.4);
        ethernet("dropped five times", "noData",
                 "Same outbound data packet was dropped five times.\r\nYou may have too much "
                 "traffic on your network.\r\nPlease cycle power on the drive before trying again.",
                 5, 25.4);
        // Block 3's acknowledgement comes after its wait and passes for
        // block 4's, which was lost: the drive's count gives the gap away.
        ethernet("late ack taken for a lost block's", "lateAck", kFailed, 21, 5.0,
                 "The drive received 20 of 21 data packets");
    }
    void download() {
        QFETCH(bool, ethernet);
        QFETCH(QString, situation);
        QFETCH(QByteArray, file);
        const QString driver = situation.section(QStringLiteral(" on "), 1);
        situation = situation.section(QStringLiteral(" on "), 0, 0);
        drivesim::DriveOptions o;
        o.bootLoaderVersion = situation == "v2" ? 2 : 5;
        o.bootEntryDelay = situation == "v5" ? 0.45 : o.bootEntryDelay;  // of 0.5 s waited
        o.blank = situation == "blank";
        o.revisionSuffix = situation.size() == 1 ? situation[0].toLatin1() : 'D';
        o.errorAtByte = situation == "error" ? 1000 : -1;
        o.dotEveryBytes = situation == "noDots" ? 0 : 256;
        o.replyToSA = situation != "noSA";
        o.saReply = situation == "S?" ? "S?" : o.saReply;
        o.ignoreCountQueries = situation == "noCounts" || situation == "lastCount";
        o.dropAckFraction = situation == "noCounts" ? 1.0 : 0.0;
        o.dropDataFraction = situation == "noData" ? 1.0 : 0.0;
        o.quietTime = situation == "lateAck" ? 60 : o.quietTime;
        // The drive takes the image but keeps the revision it had.
        QByteArray kept = file;
        Rig rig(o, situation == "oldRevision" ? kept.replace(0, 4, "1.05") : file, ethernet);
        rig.portOfDriver(driver);
        const QString path = home.filePath(QStringLiteral("Flash.E"));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size() && out.flush());
        if (situation != "noFile") {
            rig.tp.fileDialog.choose(path);
            rig.session.OpenPrograms_Click();
        }
        if (!ethernet) {
            rig.drive.powerUp();
            rig.session.Delay(500);
        }
        rig.seen.shown.clear();
        rig.session.serialState().QTSent = situation != "noQT";
        rig.session.downloadState().TransmitHold = true;  // an earlier download's XOFF
        if (situation == "lateAck") {
            rig.tp.udp.ackFaults = {{3, 5.2}};
            rig.tp.udp.dataFaults = {{4, -1}};
        } else if (situation == "xoff") {
            rig.midway([&] { rig.drive.sendSerial("\x13"); });
        } else if (situation == "silent") {  // once the drive has judged the image, nobody answers
            rig.drive.drive().onVerdict = [&](auto&) { rig.tp.udp.setPeer(nullptr); };
        } else if (situation == "stranger") {  // a stray text, acknowledgement and count
            rig.midway([&] {
                for (const QByteArray& d : {datagram(7), datagram(17), datagram(16, "\0\0")}) {
                    rig.tp.udp.receiveFromNetwork(d, QStringLiteral("127.0.0.2"));
                }
            });
        } else if (situation == "boot loader") {
            rig.drive.drive().onVerdict = [&](auto&) {
                rig.tp.time.after(0.1, [&] { rig.drive.sendSerial("\xF0\x05\x37\x05"); });
                rig.tp.time.after(0.3, [&] {
                    QVERIFY(!rig.seen.actions.startDownload);
                    rig.session.StartDownload_Click();
                });
            };
        }
        const QString other = home.filePath(QStringLiteral("Other.E"));
        const std::map<QString, std::function<void()>> inputs = {
            {"port 2",
             [&] { rig.tp.serial.setOpenResult(2, CommError::None), rig.session.choosePort(2); }},
            {"port 1", [&] { rig.session.choosePort(1); }},
            {"serial option", [&] { rig.session.chooseLink(Link::Serial); }},
            {"Ethernet option", [&] { rig.session.chooseLink(Link::Ethernet); }},
            {"address", [&] { rig.session.editAddress("10.0.0.9"); }},
            {"open file",
             [&] { rig.tp.fileDialog.choose(other), rig.session.OpenPrograms_Click(); }},
            {"download again", [&] { rig.session.StartDownload_Click(); }},
            {"serial traffic", [&] { rig.drive.sendSerial("x"); }},
            {"Ping", [&] { rig.session.Ping_Click(); }}};
        bool bootEntered = false;  // marks the serial boot-loader entry only
        std::optional<Actions> during;
        rig.midway([&] {
            bootEntered = rig.session.downloadState().BootEntered;
            during = rig.seen.actions;
            if (const auto input = inputs.find(situation); input != inputs.end()) {
                input->second();
            }
        });
        const QString address = rig.seen.address;
        const size_t opens = rig.tp.serial.openings().size();

        if (situation == "click") {
            rig.drive.powerUp();
            rig.tp.time.after(0.05, [&] {
                QVERIFY(rig.session.serialState().InOnComm);
                rig.session.StartDownload_Click();
            });
            rig.session.Delay(20000);
        } else {
            rig.session.StartDownload_Click();
        }

        QFETCH(QString, message);
        QCOMPARE(rig.seen.texts(), message.replace("<path>", path).split('|'));
        message = rig.seen.texts().first();
        QVERIFY(rig.seen.shown.size() == 1 || rig.seen.shown.back().icon == MessageIcon::Critical);
        QCOMPARE(rig.seen.status.count("Ignored a datagram"), situation == "stranger" ? 1 : 0);
        QCOMPARE(rig.seen.shown[0].icon, message == kComplete ? MessageIcon::Exclamation
                                         : message == kFailed && !ethernet ? MessageIcon::Critical
                                                                           : MessageIcon::None);
        QFETCH(QString, log);
        QVERIFY2(rig.seen.status.contains(log), qPrintable(rig.seen.status));
        QFETCH(double, atLeast);
        rig.session.Delay(ethernet ? 1500 : 0);  // the drive's second of quiet ends the image
        const bool delivered = ethernet ? atLeast < 5 : message == kComplete || message == kFailed;
        QVERIFY2(rig.confirmed() == delivered, qPrintable(rig.drive.transcriptText()));
        if (rig.model && delivered) {
            // As fast as the drive takes the image, and after its XOFF no more
            // bytes than the port lets through: the UART's FIFO and receive
            // time-out, a CDC device's 1 ms, none past an adapter that pauses.
            const drivesim::Verdict& v = rig.drive.drive().verdicts().front();
            const std::map<QString, int> afterXoff = {
                {"serial8250", 8}, {"cdc_acm", 40}, {"ftdi_sio", 1}};
            QVERIFY2(v.seconds < static_cast<double>(v.bytesReceived) / 7000 && v.xoffsSent > 0 &&
                         v.mostBytesAfterXoff <= afterXoff.at(driver),
                     qPrintable(v.describe()));
        }
        const DownloadOutcome& outcome = SessionProbe(rig.session).lastOutcome();
        QFETCH(int, sent);
        QVERIFY(sent < 0 || (ethernet ? rig.session.downloadState().DataPacketsSent
                                      : outcome.bytesSent) == sent);
        QVERIFY(outcome.seconds > atLeast);
        QCOMPARE(bootEntered, !ethernet && sent != 0);
        // The port, link, address and file stay as the download found them;
        // only the clean-up reopens the port.
        QCOMPARE(rig.tp.serial.openings().size() - opens, size_t(ethernet ? 0 : 1));
        QVERIFY(rig.seen.link == (ethernet ? Link::Ethernet : Link::Serial));
        QCOMPARE(rig.seen.portChoice, 1);
        QCOMPARE(rig.seen.address, address);
        QCOMPARE(rig.seen.file.name, situation == "noFile" ? QStringLiteral("Not Loaded") : path);
        QVERIFY(!during || during == kNoActions);
        rig.leftUsable(ethernet || situation == "boot loader");
        if (ethernet) {
            const auto& datagrams = rig.tp.udp.sent();
            QCOMPARE(datagrams.front().data, QByteArray::fromHex("0012"));  // start
            QVERIFY(std::ranges::all_of(datagrams,
                                        [&](auto& d) { return d.host == rig.drive.address(); }));
            QVERIFY(situation != "lastCount" ||
                    std::ranges::count(datagrams, QByteArray::fromHex("0010"),
                                       &FakeUdpSocket::Sent::data) == 3);
            return;
        }
        QTEST(rig.seen.drive.revision, "driveRev");
        const QString transcript = rig.drive.transcriptText();
        QCOMPARE(transcript.contains(QLatin1String("command \"S\"")), !o.blank && sent != 0);
        QCOMPARE(transcript.contains(QLatin1String("command \"HM\"")), situation == "noQT");
        QCOMPARE(rig.tp.serial.settingsHistory().contains(QStringLiteral("115200,N,8,1")),
                 o.bootLoaderVersion == 5 && sent != 0);
    }

    // Chosen, then downloaded over serial: each ends with its message, and the
    // drive keeps nothing it did not get whole.
    void badFiles_data() {
        QTest::addColumn<QByteArray>("chosen");     // null: a folder
        QTest::addColumn<QByteArray>("rewritten");  // before the click or mid-transfer
        QTest::addColumn<QString>("chooseMessage");
        QTest::addColumn<QString>("downloadMessage");
        QTest::addColumn<QString>("fileModel");  // afterwards
        const QString header =
            QStringLiteral("Error: The header of the firmware file \"<path>\" cannot be read: ");
        const QByteArray good = firmware("55", 1000);
        const QByteArray none;
        const QByteArray elf = QByteArray("\x7f\x45LF\x01\x01\x01\0\0\0\r\n\x02\0(\0", 17) + good;
        const QString notText = header + "revision field: byte 0x7f is not text";
        const QString table =
            header + "revision field: \"Name\" is not a revision (digits, a point, digits)";
        auto notModel = [&](const char* model) {
            return header + "model field: \"" + model +
                   "\" is not a model number (decimal digits, 1 to 32767)";
        };
        // 2^32 + 49 would wrap onto KX-M3: too large for a model number, it is none.
        QTest::newRow("huge numbers") << firmware("4294967345", 600, "99999.99") << none
                                      << notModel("4294967345") << notModel("4294967345") << "None";
        QTest::newRow("binary garbage") << elf << none << notText << notText << "None";
        QTest::newRow("a table") << "Name,Value\r\n1,2\r\n" + good << none << table << table
                                 << "None";
        QTest::newRow("replaced by a file for model 0")
            << good << firmware("0", 1000) << "" << notModel("0") << "KX-M1";
        // A model in no family row: the window loads it into any drive and says so.
        QTest::newRow("model 200") << firmware("200", 600) << none << "" << kComplete << "Unknown";
        QTest::newRow("replaced by model 200's, refused as kestrel-flash does")
            << good << firmware("200", 1000) << ""
            << "The firmware file is for model 200, which this updater does not know"
            << "KX-M1";
        QTest::newRow("a folder") << QByteArray() << none
                                  << "Error: Cannot open the firmware file \"<path>\": file to "
                                     "open is a directory"
                                  << "The File <path> could not be found"
                                  << "None";
        // Sparse, so it takes no disk space; its memory use is a bench figure.
        QTest::newRow("100 MB image, E at byte 700") << firmware("55", 0) << none << ""
                                                     << "Drive sent back an error code"
                                                     << "KX-M1";
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
        // As cp -p, rsync -t --inplace or touch -r leave it: same size, same time.
        QTest::newRow("rewritten during the transfer, its time put back")
            << good << firmware("55", 1000, "1.08") << ""
            << "The Firmware file changed during the download"
            << "KX-M1";
    }
    void badFiles() {
        QFETCH(QByteArray, chosen);
        QFETCH(QByteArray, rewritten);
        QFETCH(QString, chooseMessage);
        QFETCH(QString, downloadMessage);
        QFETCH(QString, fileModel);
        const QByteArray tag = QTest::currentDataTag();
        const bool big = tag.startsWith("100 MB"), during = tag.contains("during");
        const bool timePutBack = tag.endsWith("put back");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Flash.E"));
        // Built a day ago: a rewrite shows in the time of last change.
        const QDateTime built = QDateTime::currentDateTime().addDays(-1);
        QVERIFY(chosen.isNull() ? QDir().mkpath(path) : writeFile(path, chosen, built));
        QVERIFY(!big || QFile::resize(path, chosen.size() + (100 << 20)));
        drivesim::DriveOptions o;
        o.errorAtByte = big ? 700 : -1;
        const QByteArray kept = downloadMessage != kComplete ? QByteArray()
                                : rewritten.isNull()         ? chosen
                                                             : rewritten;
        Rig rig(o, kept, false);
        rig.session.firmwareState().unknownModelAllowed = !tag.endsWith("kestrel-flash does");
        rig.drive.powerUp();
        rig.session.Delay(500);
        rig.tp.fileDialog.choose(path);
        rig.session.OpenPrograms_Click();
        QCOMPARE(rig.seen.texts().join(""), chooseMessage.replace("<path>", path));
        QCOMPARE(rig.seen.file.name, path);
        QCOMPARE(rig.seen.status.contains(
                     "The firmware file is for model 200, which this updater does not know\r\n"),
                 fileModel == "Unknown");
        QVERIFY(during || rewritten.isNull() || writeFile(path, rewritten));
        rig.seen.shown.clear();
        rig.tp.serial.clearTransmitted();
        if (during) {
            rig.midway([&] {
                // A rewrite in the tick of the file system's clock in which the
                // download stamped the file leaves no trace; real ones come later.
                const QDateTime changed = QFileInfo(path).metadataChangeTime();
                do {
                    QVERIFY(writeFile(path, rewritten, timePutBack ? built : QDateTime()));
                } while (QFileInfo(path).metadataChangeTime() == changed);
            });
        }

        rig.session.StartDownload_Click();

        QCOMPARE(rig.seen.texts(), QStringList{downloadMessage.replace("<path>", path)});
        QCOMPARE(rig.seen.file.model, fileModel);
        QVERIFY2(kept.isEmpty() || rig.confirmed(), qPrintable(rig.drive.transcriptText()));
        QCOMPARE(rig.tp.serial.transmitted().isEmpty(), kept.isEmpty() && !during && !big);
        QCOMPARE(rig.drive.transcriptText().contains("command \"SA\""), !kept.isEmpty());
        rig.leftUsable(false);
    }

  private:
    QTemporaryDir home;
};

QTEST_MAIN(DownloadTest)
#include "test_download.moc"
