#include "DownloadSequence.h"

#include <QFileInfo>
#include <algorithm>

#include "drive/DriveModels.h"
#include "firmware/FirmwareHeader.h"

#ifdef Q_OS_LINUX
#include <sys/stat.h>
#endif

namespace kestrel {

namespace {

constexpr int kEthernetBlockSize = 200;
constexpr int kSerialBlockSize = 256;
// Three bytes follow the header fields and precede the image.
constexpr int kSkippedBytes = 3;
// A file shorter than this cannot hold two header fields and an image.
constexpr qint64 kShortestFile = 8;
// More blocks than this without a "." from the drive stop the download.
constexpr int kBlocksWithoutDot = 20;
const QString kEmpty = QStringLiteral("The Firmware file was empty");
const QString kFailed = QStringLiteral("Firmware Download Failed");
const QString kLowSpeed = QStringLiteral("9600,N,8,1");
const QString kHighSpeed = QStringLiteral("115200,N,8,1");

struct Failure {
    DownloadEnd end;
    QString message;
};

Failure transferFailure(BlockResult code) {
    switch (code) {
        case BlockResult::DriveError:
            return {DownloadEnd::DriveError, QStringLiteral("Drive sent back an error code")};
        case BlockResult::NoCountReply:
            return {DownloadEnd::NoCountReply,
                    QStringLiteral("Did not receive packet acknowledge from drive. Unable to get "
                                   "packet receive count from drive.")};
        case BlockResult::NoAck:
            return {DownloadEnd::DroppedFiveTimes,
                    QStringLiteral("Same outbound data packet was dropped five times.\r\n"
                                   "You may have too much traffic on your network.\r\n"
                                   "Please cycle power on the drive before trying again.")};
        case BlockResult::SendTimeout:
            return {DownloadEnd::SendTimeout,
                    QStringLiteral("Timeout waiting to send data to drive")};
        case BlockResult::PortNotOpen:
            return {DownloadEnd::PortNotOpen, QStringLiteral("Comm Port Not Open")};
        default:
            return {DownloadEnd::UnknownError, QStringLiteral("Unknown error during download")};
    }
}

// The open file's stamp, by its descriptor where there is one, so that a file
// renamed over or deleted meanwhile still reads as the one being sent (the
// descriptor's inode is that one for good, so it tells nothing). A rewrite in
// place that keeps the size and puts the modification time back (cp -p,
// rsync -t --inplace, touch -r) still moves the status-change time, which no
// one can set.
FileStamp fileStamp(QFile& file) {
#ifdef Q_OS_LINUX
    struct stat st {};
    if (::fstat(file.handle(), &st) == 0) {
        const auto ns = [](const struct timespec& t) {
            return t.tv_sec * 1000000000LL + t.tv_nsec;
        };
        return {st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
    }
#endif
    const QFileInfo info(file.fileName());
    return {info.size(), info.lastModified().toMSecsSinceEpoch(), 0};
}

}  // namespace

bool IsHighSpeedBootLoader(int version) {
    switch (version) {
        case 0x01:
        case 0x05:
        case 0x15:
        case 0x25:
        case 0x35:
            return true;
        default:
            return false;
    }
}

const DownloadOutcome& DownloadSequence::StartDownload_Click() {
    const double began = waits_.clock().now();
    // Chosen once: nothing may change the link under a running download.
    link_ = s_.choices.link;
    outcome_ = {};
    outcome_.end = run();
    cleanUp();
    outcome_.seconds = waits_.clock().now() - began;
    return outcome_;
}

void DownloadSequence::UDPEnterBootloader() {
    e_.udp.UDPSendDCLpacket("B", 0, QByteArray(1, '\0') + QByteArray("5827"));
}

DownloadEnd DownloadSequence::run() {
    start();
    if (ethernet() && !e_.udp.aimAtDrive()) {
        // Nothing may go out when there is no drive to send it to.
        return finish(DownloadEnd::InvalidAddress, QStringLiteral("Invalid drive IP address"));
    }
    if (s_.firmware.path.isEmpty()) {  // FileName still shows "Not Loaded"
        return finish(DownloadEnd::NoFile,
                      QStringLiteral("No Firmware Download File was selected"));
    }
    if (s_.drive.DriveModelCode == 0) {
        s_.drive.DriveModelCode = s_.firmware.FileModelCode;
    }
    for (DownloadEnd (DownloadSequence::*step)() :
         {&DownloadSequence::openFile, &DownloadSequence::readHeaderAndFit,
          &DownloadSequence::enterBootLoader, &DownloadSequence::transfer,
          &DownloadSequence::fileKept}) {
        if (const DownloadEnd end = (this->*step)(); end != DownloadEnd::Success) {
            return end;
        }
    }
    if (stopping()) {
        return DownloadEnd::Stopped;
    }
    return ethernet() ? completeOverEthernet() : completeSerially();
}

void DownloadSequence::start() {
    report_.allowStartDownload(false);
    s_.download.QuitRequested = false;
    report_.clearStatus();
    s_.udp.AckCount = 0;
    s_.download.DataPacketsSent = 0;
    s_.udp.UdpRingRead = s_.udp.UdpRingWrite = 0;
    report_.setExtraText(QString());
    // The start datagram is the download's first: it goes to the drive in
    // txtIP, never to wherever the socket pointed before.
    if (ethernet() && e_.udp.aimAtDrive()) {
        e_.transfer.SendStartPacket();
    }
    const QString zero = QStringLiteral("0");
    report_.setCounters({zero, zero, zero, zero});
}

DownloadEnd DownloadSequence::openFile() {
    file_.setFileName(s_.firmware.path);
    if (!file_.open(QIODevice::ReadOnly)) {
        return finish(DownloadEnd::FileNotFound,
                      QStringLiteral("The File %1 could not be found").arg(s_.firmware.path));
    }
    openedStamp_ = fileStamp(file_);
    return DownloadEnd::Success;
}

DownloadEnd DownloadSequence::readHeaderAndFit() {
    using Status = FirmwareHeader::Status;
    if (file_.size() < kShortestFile) {
        return finish(DownloadEnd::FileEmpty, kEmpty);
    }
    const FirmwareHeader header = readFirmwareHeader(file_);
    if (header.hasRevision()) {
        report_.setFileRevision(header.revision);
        s_.firmware.FileRevNumber = revisionNumber(header.revision);
        headerRevision_ = header.revision;
        headerHundredths_ = revisionHundredths(header.revision);
    }
    if (header.status == Status::RevisionUnreadable || header.status == Status::ModelUnreadable) {
        return finish(DownloadEnd::FileUnreadable,
                      QStringLiteral("Error: The header of the firmware file \"%1\" cannot be "
                                     "read: %2")
                          .arg(s_.firmware.path, header.error));
    }
    imageStart_ = header.size + kSkippedBytes;
    // A header with no image behind it would "succeed" with nothing sent.
    if (header.status != Status::Complete || imageStart_ >= file_.size()) {
        return finish(DownloadEnd::FileEmpty, kEmpty);
    }
    s_.firmware.FileModelCode = modelCode(header.model);
    // The download's own record of a file that nothing checked (on a serial
    // line the boot loader's announcement soon empties the window's log, so
    // the choice says it too). kestrel-flash refuses it here as well, in case
    // the file was replaced after it was chosen.
    if (ReportUnknownFileModel(s_.firmware.FileModelCode, report_) &&
        !s_.firmware.unknownModelAllowed) {
        return finish(DownloadEnd::UnknownModel, UnknownFileModelText(s_.firmware.FileModelCode));
    }
    if (ethernet()) {
        const EnetIdentification::Identity drive = e_.identification.identify();
        s_.drive.DriveModelCode = drive.modelCode;  // GetEnetDriveModel's result
        if (drive.answered) {
            outcome_.driveIdentified = drive.shown;
        }
    }
    if (!FileMatchesDrive(s_.firmware.FileModelCode, s_.drive.DriveModelCode, report_,
                          s_.firmware)) {
        return finish(
            DownloadEnd::FileDoesNotFit,
            QStringLiteral("The Selected Firmware File cannot be loaded into the Attached Drive"));
    }
    return DownloadEnd::Success;
}

DownloadEnd DownloadSequence::enterBootLoader() {
    if (ethernet()) {
        s_.udp.UdpRingRead = s_.udp.UdpRingWrite = 0;
        UDPEnterBootloader();
        outcome_.driveInBootLoader = true;
    } else if (!port_.isOpen()) {
        // Every command would only say so again; one message is enough.
        return finish(DownloadEnd::PortNotOpen, QStringLiteral("Comm Port Not Open"));
    } else if (s_.serial.BootLoaderVersion == 0) {
        send(QStringLiteral("S"));
        waits_.Delay(300);
        send(QStringLiteral("q"));
        waits_.Delay(300);
        if (!s_.serial.QTSent) {
            send(QStringLiteral("HM"));
        }
        waits_.Delay(100);
        send(QStringLiteral("B5827"));
        report_.appendStatus(QStringLiteral("Download Firmware command Sent\r\n"));
    }
    if (!ethernet()) {
        s_.download.BootEntered = true;
        outcome_.driveInBootLoader = true;
    }
    prepare();
    return DownloadEnd::Success;
}

void DownloadSequence::prepare() {
    // The drive's boot-loader packet, and with it BootLoaderVersion, arrives
    // during this wait.
    waits_.Delay(500);
    if (!ethernet() && IsHighSpeedBootLoader(s_.serial.BootLoaderVersion)) {
        s_.serial.CommSettings = kHighSpeed;
        port_.setSettings(kHighSpeed);
    }
    waits_.Delay(200);
    s_.download.Downloading = true;
    s_.download.DownloadDone = false;
    // Only the image is sent, so only the image is counted: the bar reaches
    // its end exactly when the last byte has gone.
    outcome_.imageBytes = file_.size() - imageStart_;
    progressMaximum_ = outcome_.imageBytes;
    report_.setProgress(0, progressMaximum_);
    s_.download.TransmitHold = false;
    if (!ethernet() && port_.outputPolicy().chipXonXoff) {
        // The adapter stops within a byte of the drive's XOFF, sooner than
        // the host can hear it; leaveTransfer() turns this off again.
        port_.setHandshaking(Handshaking::XonXoff);
    }
    s_.download.BlockCount = s_.download.LastDotBlock = 0;
    file_.seek(imageStart_);
}

DownloadEnd DownloadSequence::transfer() {
    const qint64 blockSize = ethernet() ? kEthernetBlockSize : kSerialBlockSize;
    while (outcome_.bytesSent < outcome_.imageBytes && !s_.download.QuitRequested) {
        const QByteArray block =
            file_.read(std::min(blockSize, outcome_.imageBytes - outcome_.bytesSent));
        if (block.isEmpty()) {
            // The file shrank or vanished under the download.
            return finish(DownloadEnd::UnknownError,
                          QStringLiteral("An Unknown Error was encountered"));
        }
        const BlockResult code =
            e_.transfer.SendDataBlock(block, static_cast<int>(block.size()) - 1);
        if (code != BlockResult::Delivered) {
            return transferFailed(code);
        }
        outcome_.bytesSent += block.size();
        waits_.pump().processPending();
        ++s_.download.BlockCount;
        report_.setProgress(outcome_.bytesSent, progressMaximum_);
        if (s_.download.BlockCount - s_.download.LastDotBlock > kBlocksWithoutDot) {
            return finish(DownloadEnd::DriveNotResponding,
                          QStringLiteral("The Drive is not responding to download"));
        }
    }
    return s_.download.QuitRequested ? DownloadEnd::Stopped : DownloadEnd::Success;
}

DownloadEnd DownloadSequence::fileKept() {
    if (fileStamp(file_) == openedStamp_) {
        return DownloadEnd::Success;
    }
    // Without "SA" the drive keeps its boot flag and waits for a good image.
    return finish(DownloadEnd::UnknownError,
                  QStringLiteral("The Firmware file changed during the download"));
}

DownloadEnd DownloadSequence::transferFailed(BlockResult code) {
    s_.download.Downloading = false;
    if (!ethernet()) {
        e_.exchange.ReceiveCommBytes();
    }
    if (code == BlockResult::Stopped) {
        return DownloadEnd::Stopped;
    }
    const Failure failure = transferFailure(code);
    return finish(failure.end, failure.message);
}

void DownloadSequence::leaveTransfer() {
    s_.download.BootEntered = false;
    s_.download.DownloadDone = true;
    s_.download.Downloading = false;
    s_.serial.QTSent = false;
    if (IsHighSpeedBootLoader(s_.serial.BootLoaderVersion)) {
        s_.serial.CommSettings = kLowSpeed;
        port_.setSettings(kLowSpeed);
    }
    port_.setHandshaking(Handshaking::None);
}

DownloadEnd DownloadSequence::completeOverEthernet() {
    const DownloadEnd counted = countConfirmed();
    if (counted != DownloadEnd::Success) {
        return counted;
    }
    waits_.Delay(2000);
    return identityConfirmed();
}

// Acknowledgements carry no block number: one that came after its wait can
// pass for the next block's while that block was lost. The drive's own
// count shows such a gap before anything is declared done, and without it
// nothing is.
DownloadEnd DownloadSequence::countConfirmed() {
    const std::optional<int> counted = e_.transfer.askDriveCount(3);
    leaveTransfer();
    if (stopping()) {
        return DownloadEnd::Stopped;
    }
    if (!counted) {
        report_.appendStatus(
            QStringLiteral("The drive did not report how many data packets it received\r\n"));
        return finish(DownloadEnd::NotConfirmed, kFailed);
    }
    const int delivered = expectedDriveCount(s_.download.BlocksDelivered);
    if (*counted != delivered) {
        report_.appendStatus(QStringLiteral("The drive received %1 of %2 data packets\r\n")
                                 .arg(*counted)
                                 .arg(delivered));
        return finish(DownloadEnd::NotConfirmed, kFailed);
    }
    return DownloadEnd::Success;
}

// The drive answers its identity again once it runs the new firmware, and
// that firmware is the file's only when it reports the file's revision (a
// drive that lost the image still answers, with its old one).
DownloadEnd DownloadSequence::identityConfirmed() {
    using Identity = EnetIdentification::Identity;
    auto holdsFile = [this](const Identity& drive) {
        return drive.answered && drive.modelCode != 0 &&
               headerHundredths_ == 100 + drive.revisionCode;
    };
    e_.identification.CheckDrive();  // the first answer may still be the boot loader's
    Identity drive = e_.identification.identify();
    if (!holdsFile(drive) && !stopping()) {
        waits_.Delay(1000);
        drive = e_.identification.identify();
    }
    if (stopping()) {
        return DownloadEnd::Stopped;
    }
    if (holdsFile(drive)) {
        return finish(DownloadEnd::Success, QStringLiteral("Firmware Download Successful"));
    }
    if (drive.answered && drive.modelCode != 0) {
        report_.appendStatus(
            QStringLiteral("The drive reports revision %1 after the download; the file is %2\r\n")
                .arg(DriveRevisionText(drive.revisionCode), headerRevision_));
    }
    return finish(DownloadEnd::NotConfirmed, kFailed);
}

DownloadEnd DownloadSequence::completeSerially() {
    leaveTransfer();
    waits_.Delay(3000);
    if (!stopping()) {
        send(QStringLiteral("PR5"));
        waits_.Delay(100);
    }
    if (stopping()) {
        return DownloadEnd::Stopped;
    }
    // A reply with "?" is stored as none: the drive refused to clear its
    // boot flag, so nothing was saved.
    if (!ask(QStringLiteral("SA")) || s_.serial.RxBuffer.isEmpty()) {
        report_.appendStatus(QStringLiteral("Download not saved\r\n"));
        s_.download.DownloadDone = false;
        return finish(DownloadEnd::NotSaved, kFailed, MessageIcon::Critical);
    }
    outcome_.driveInBootLoader = false;
    report_.appendStatus(QStringLiteral("SA command Sent\r\n"));
    finish(DownloadEnd::Success, QStringLiteral("Firmware Download is complete"),
           MessageIcon::Exclamation);
    const std::optional<int> reported = showSavedRevision(ask(QStringLiteral("SV")));
    s_.download.DownloadDone = false;
    return revisionConfirmed(reported);
}

std::optional<int> DownloadSequence::showSavedRevision(bool replied) {
    if (!replied) {
        return std::nullopt;
    }
    const QByteArray& reply = s_.serial.RxBuffer;
    if (reply.size() <= 4) {
        report_.setDriveRevision(QStringLiteral("0.00"));
        s_.serial.DriveRevNumber = 0;
        return std::nullopt;
    }
    s_.serial.RevSuffix = QString(QChar(static_cast<unsigned char>(reply.at(3))));
    QString text = DriveRevisionText(s_.serial.DriveRevNumber);
    if (s_.serial.RevSuffix >= QLatin1String("A") && s_.serial.RevSuffix <= QLatin1String("z")) {
        text += s_.serial.RevSuffix;
    }
    report_.setDriveRevision(text);
    // The three characters before the suffix are the revision number the
    // drive now runs (107 for 1.07).
    const QByteArray number = reply.first(3);
    if (!std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return number.toInt();
}

// The drive saved what it got; whether that was this file shows only in the
// revision it reports.
DownloadEnd DownloadSequence::revisionConfirmed(std::optional<int> reported) {
    if (reported && reported == headerHundredths_) {
        return DownloadEnd::Success;
    }
    const QString text = reported ? QStringLiteral(
                                        "The drive reports revision %1 after the download, but the "
                                        "firmware file is revision %2")
                                        .arg(DriveRevisionText(*reported - 100), headerRevision_)
                                  : QStringLiteral(
                                        "The drive did not report its revision after the download; "
                                        "the firmware file is revision %1")
                                        .arg(headerRevision_);
    return finish(DownloadEnd::RevisionNotConfirmed, text, MessageIcon::Critical);
}

void DownloadSequence::cleanUp() {
    file_.close();
    s_.download.Downloading = false;
    report_.setProgress(0, progressMaximum_);
    s_.download.QuitRequested = s_.download.DownloadDone = s_.download.BootEntered = false;
    s_.serial.CommSettings = kLowSpeed;
    if (ethernet()) {
        report_.allowStartDownload(true);
        return;
    }
    if (e_.ports.OpenCommPort(s_.serial.CommPortNumber, kLowSpeed, Handshaking::None)) {
        e_.ports.setCommListIndex(s_.serial.CommPortNumber);
        return;
    }
    e_.ports.setCommListIndex(0);
    s_.serial.CommPortNumber = 0;
    outcome_.portRestored = false;
    report_.showMessage(QStringLiteral("Comm port could not be set to 9600"));
}

void DownloadSequence::send(const QString& command) {
    s_.serial.CommandText = command;
    e_.exchange.SendCommand(false);
}

bool DownloadSequence::ask(const QString& command) {
    s_.serial.CommandText = command;
    return e_.exchange.SendCommand(true);
}

DownloadEnd DownloadSequence::finish(DownloadEnd end, const QString& message, MessageIcon icon) {
    report_.showMessage(message, icon);
    outcome_.message = message;
    return end;
}

}  // namespace kestrel
