#pragma once

#include "download/DataBlockTransfer.h"
#include "download/DownloadSequence.h"
#include "ethernet/DriveAddress.h"
#include "ethernet/EnetIdentification.h"
#include "ethernet/UdpChannel.h"
#include "firmware/FirmwareChooser.h"
#include "platform/Platform.h"
#include "platform/Waits.h"
#include "report/Reporter.h"
#include "report/SessionObserver.h"
#include "serial/PortManager.h"
#include "serial/SerialExchange.h"
#include "state/Choices.h"
#include "state/DownloadState.h"
#include "state/DriveState.h"
#include "state/FirmwareState.h"
#include "state/SerialState.h"
#include "state/UdpState.h"

namespace kestrel {

// How a front end other than the window starts the session: the COM port
// opened first (0 = none, for a run on the Ethernet link) and whether the
// UDP port is bound. The defaults are the window's start-up.
struct SessionStart {
    int firstPort = 1;
    bool bindSocket = true;
};

// The updater's core: it owns the run's state and the engines, runs start-up
// and shut-down, takes the technician's choices as calls and reports
// everything through one SessionObserver. The window and kestrel-flash are
// two front ends on it; neither holds any of the system's state.
class Session {
  public:
    static constexpr quint16 LocalUdpPort = 7777;
    static constexpr quint16 DriveUdpPort = 7775;
    static QString defaultAddress() { return QStringLiteral("10.10.10.10"); }

    Session(Platform& platform, SessionObserver& observer);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Form_Load() { Form_Load(SessionStart{}); }
    void Form_Load(const SessionStart& start);
    // Closes the port, saves the settings and tells the front end to end.
    void Form_Unload();
    // Quit, the window's close box and SIGTERM/SIGINT: stops every wait, and
    // once the handler that is running has unwound, shuts down.
    void Quit_Click();
    bool ended() const { return ended_; }

    // The technician's choices.
    void chooseLink(Link link);             // a click on optSerial / optEthernet
    void choosePort(int index);             // a click in CommList (0 = "NO COMM")
    void editAddress(const QString& text);  // typing in txtIP
    void txtIP_LostFocus();
    // Nothing when the click was refused (a download runs) or the session ended.
    std::optional<PingResult> Ping_Click();
    void OpenPrograms_Click();
    // How the download ended; nothing when the click was refused, or when it
    // came while the serial receive handler waited (the download then runs
    // once that handler has returned).
    std::optional<DownloadOutcome> StartDownload_Click();
    // A file named on a command line: read and shown as a choice in the
    // dialog would be, without remembering its path. True when its header
    // was read whole.
    bool loadFirmwareFile(const QString& path);
    // FileMatchesDrive on the chosen file and the drive shown.
    bool fileMatchesDrive();

    // What the window would do on its own: wait (events delivered, the serial
    // receive handler polled) for `ms` milliseconds.
    void Delay(double ms);

    // Asks the drive on Ethernet who it is, as the download does: shows what
    // it answers and keeps its model code in DriveModelCode.
    EnetIdentification::Identity identifyOverEthernet();

    // The run's state and engines, for the front ends' summaries and tests.
    Reporter& report() { return report_; }
    const Choices& choices() const { return choices_; }
    SerialState& serialState() { return serial_; }
    DriveState& driveState() { return drive_; }
    FirmwareState& firmwareState() { return firmware_; }
    DownloadState& downloadState() { return download_; }

  private:
    // Tests that drive one engine on its own reach it through this seam; the
    // front ends go through the verbs above.
    friend class SessionProbe;

    void runPendingDownload();
    std::optional<DownloadOutcome> runDownload();
    // From the click on "Download to Drive..." until its clean-up has ended
    // nothing may change the link, the port, the address or the file under
    // the download. True when the input must be dropped (never kept for
    // later); the front end is shown again what stands, in case it already
    // moved its control.
    bool refusedWhileDownloading();
    // A choice made, and shown.
    void setLink(Link link);
    void setPortChoice(int index);
    void setAddress(const QString& text);
    // Runs one event handler; the last one to return carries out a
    // shut-down that was asked for while handlers were waiting.
    template <typename Handler>
    void handle(Handler&& handler);
    void bindSocket();
    void resetRun();
    void openFirstPort(int portNumber);

    Platform& platform_;
    Choices choices_;
    SerialState serial_;
    DriveState drive_;
    FirmwareState firmware_;
    DownloadState download_;
    UdpState udp_;
    Reporter report_;
    Waits waits_;
    PortManager portManager_;
    SerialExchange serialExchange_;
    FirmwareChooser firmwareChooser_;
    UdpChannel udpChannel_;
    DriveAddress driveAddress_;
    DataBlockTransfer dataBlockTransfer_;
    EnetIdentification enetIdentification_;
    DownloadSequence downloadSequence_;
    // A click on "Download to Drive..." that came while the serial receive
    // handler was waiting after a drive packet; it runs once that handler has
    // returned, so the download's own waits can see the drive's replies.
    bool downloadPending_ = false;
    int handlerDepth_ = 0;
    bool shutdownPending_ = false;
    bool ended_ = false;
};

}  // namespace kestrel
