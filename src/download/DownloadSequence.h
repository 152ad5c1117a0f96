#pragma once

#include <QFile>
#include <QString>

#include "DataBlockTransfer.h"
#include "ethernet/EnetIdentification.h"
#include "ethernet/UdpChannel.h"
#include "platform/SerialPort.h"
#include "platform/Waits.h"
#include "report/Reporter.h"
#include "serial/PortManager.h"
#include "serial/SerialExchange.h"
#include "state/DownloadState.h"
#include "state/DriveState.h"
#include "state/FirmwareState.h"
#include "state/SerialState.h"
#include "state/UdpState.h"

namespace kestrel {

// How a download ended: one value for each way, so that a front end can tell
// them apart (kestrel-flash turns them into exit codes).
enum class DownloadEnd {
    Success,
    NoFile,                // no firmware file was chosen
    FileNotFound,          // the chosen file cannot be opened any more
    FileEmpty,             // header incomplete, or no image after it
    FileUnreadable,        // a header field cannot be read
    FileDoesNotFit,        // the file is not for the attached drive
    PortNotOpen,           // serial: nothing can be sent
    DriveError,            // the drive sent "E"
    NoCountReply,          // Ethernet: no acknowledgement and no packet count
    DroppedFiveTimes,      // Ethernet: the same block was never acknowledged
    SendTimeout,           // serial: the line never took the bytes
    DriveNotResponding,    // no "." from the drive for 21 blocks
    NotSaved,              // serial: "SA" got no reply, or a refusal
    NotConfirmed,          // Ethernet: count or identity afterwards is not the file's
    RevisionNotConfirmed,  // serial: saved, but "SV" reports another revision or none
    InvalidAddress,        // Ethernet: txtIP holds no valid address
    UnknownModel,          // the file's model is in no family row, and that was not allowed
    Stopped,               // Quit or a signal during the download
    UnknownError,
};

// What a finished download leaves for the front ends' summaries.
struct DownloadOutcome {
    DownloadEnd end = DownloadEnd::UnknownError;
    QString message;           // the message box that ended it ("" when none)
    bool portRestored = true;  // false: "Comm port could not be set to 9600"
    qint64 imageBytes = 0;     // the image's length (header and skipped bytes excluded)
    qint64 bytesSent = 0;      // image bytes delivered to the drive
    double seconds = 0.0;      // from the click to the end of clean-up
    // The drive was told to enter its boot loader and has not saved an image
    // since: it waits there until it is switched off and on.
    bool driveInBootLoader = false;
    // Ethernet: the drive as its identification before the transfer showed it.
    std::optional<DriveShown> driveIdentified;
};

// What tells the file the download opened from one rewritten under it. The
// times are in nanoseconds where the system gives them; `changed` (the
// status-change time) is 0 where it does not.
struct FileStamp {
    qint64 size = 0;
    qint64 modified = 0;
    qint64 changed = 0;
    bool operator==(const FileStamp&) const = default;
};

// The boot-loader versions that take the image at 115200 bit/s.
bool IsHighSpeedBootLoader(int version);

// "Download to Drive...": identify, check the fit, enter the boot loader,
// send the image block by block, make the drive keep it, report, and always
// clean up.
class DownloadSequence {
  public:
    struct Engines {
        PortManager& ports;
        SerialExchange& exchange;
        UdpChannel& udp;
        DataBlockTransfer& transfer;
        EnetIdentification& identification;
    };
    struct State {
        const Choices& choices;
        SerialState& serial;
        DriveState& drive;
        FirmwareState& firmware;
        DownloadState& download;
        UdpState& udp;
    };

    DownloadSequence(SerialPort& port, Waits& waits, Reporter& report, Engines engines, State state)
        : port_(port), waits_(waits), report_(report), e_(engines), s_(state) {}

    // Runs the whole download and says how it ended.
    const DownloadOutcome& StartDownload_Click();
    void UDPEnterBootloader();
    const DownloadOutcome& lastOutcome() const { return outcome_; }

  private:
    DownloadEnd run();
    void start();
    DownloadEnd openFile();
    DownloadEnd readHeaderAndFit();
    DownloadEnd enterBootLoader();
    void prepare();
    DownloadEnd transfer();
    // The drive must get the image as the file held it when the download
    // opened it: a file rewritten meanwhile may have sent a mix of two.
    DownloadEnd fileKept();
    DownloadEnd transferFailed(BlockResult code);
    void leaveTransfer();
    DownloadEnd completeOverEthernet();
    DownloadEnd countConfirmed();
    DownloadEnd identityConfirmed();
    DownloadEnd completeSerially();
    // Shows the revision after "SV"; returns the one its reply reports, if any.
    std::optional<int> showSavedRevision(bool replied);
    DownloadEnd revisionConfirmed(std::optional<int> reported);
    bool stopping() const { return waits_.stopRequested(); }
    void cleanUp();
    bool ethernet() const { return link_ == Link::Ethernet; }
    void send(const QString& command);
    bool ask(const QString& command);
    // Shows the message that ends the download and keeps it for the outcome.
    DownloadEnd finish(DownloadEnd end, const QString& message,
                       MessageIcon icon = MessageIcon::None);

    SerialPort& port_;
    Waits& waits_;
    Reporter& report_;
    Engines e_;
    State s_;
    Link link_ = Link::Serial;  // the link of the download that runs
    QFile file_;
    FileStamp openedStamp_;
    qint64 imageStart_ = 0;
    // The revision in the file's header as read: the fit check may clear
    // what is shown for a model it does not know.
    QString headerRevision_;
    std::optional<int> headerHundredths_;
    qint64 progressMaximum_ = 100;
    DownloadOutcome outcome_;
};

}  // namespace kestrel
