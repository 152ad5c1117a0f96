#include "Session.h"

#include "drive/DriveModels.h"
#include "platform/AppInfo.h"

namespace kestrel {

Session::Session(Platform& platform, SessionObserver& observer)
    : platform_(platform),
      report_(observer),
      waits_(platform.clock, platform.pump),
      portManager_(platform.serial, report_, choices_, serial_),
      serialExchange_(platform.serial, waits_, report_, serial_, drive_, firmware_, download_),
      firmwareChooser_(platform.fileDialog, report_, choices_, firmware_),
      udpChannel_(platform.udp, waits_, report_, choices_, udp_),
      driveAddress_(udpChannel_, waits_, report_, choices_, udp_),
      dataBlockTransfer_(platform.serial, udpChannel_, waits_, report_, choices_, download_, udp_),
      enetIdentification_(udpChannel_, udp_, report_, choices_, drive_),
      downloadSequence_(
          platform.serial, waits_, report_,
          {portManager_, serialExchange_, udpChannel_, dataBlockTransfer_, enetIdentification_},
          {choices_, serial_, drive_, firmware_, download_, udp_}) {
    setAddress(defaultAddress());
    waits_.setReceivePoll([this] {
        serialExchange_.MSComm1_OnComm();
        runPendingDownload();
    });
    serialExchange_.setSerialTrafficHandler([this] {
        if (!report_.downloadRunning()) {
            portManager_.switchToSerialKeepingPort();
        }
    });
    platform_.serial.setReceiveHandler([this] {
        handle([this] { serialExchange_.MSComm1_OnComm(); });
        runPendingDownload();
    });
    platform_.udp.setArrivalHandler(
        [this] { handle([this] { udpChannel_.Winsock1_DataArrival(); }); });
}

Session::~Session() {
    platform_.serial.setReceiveHandler({});
    platform_.udp.setArrivalHandler({});
}

template <typename Handler>
void Session::handle(Handler&& handler) {
    if (ended_) {
        return;
    }
    ++handlerDepth_;
    handler();
    if (--handlerDepth_ == 0 && shutdownPending_) {
        Form_Unload();
    }
}

void Session::Form_Load(const SessionStart& start) {
    handle([this, start] {
        serialExchange_.InitSerialComm();
        report_.setTitle(AppInfo::titleWithVersion());
        setLink(Link::Serial);
        if (start.bindSocket) {
            bindSocket();
        } else {
            report_.setEthernetAllowed(false);
        }
        resetRun();
        openFirstPort(start.firstPort);
        download_.QuitRequested = false;
        setAddress(platform_.settings.read(AppInfo::settingsApplication(),
                                           QStringLiteral("Startup"), QStringLiteral("IPaddress"),
                                           defaultAddress()));
        if (const QString place = platform_.settings.unreadablePlace(); !place.isEmpty()) {
            report_.appendStatus(
                QStringLiteral("The settings in %1 could not be read; using the defaults\r\n")
                    .arg(place));
        }
    });
}

void Session::bindSocket() {
    const UdpBindResult bound = platform_.udp.bind(LocalUdpPort);
    if (bound.error > 0) {
        report_.showMessage(QStringLiteral("Winsock error[%1] occured, Description:%2")
                                .arg(bound.error)
                                .arg(bound.description),
                            MessageIcon::Exclamation);
        report_.setEthernetAllowed(false);
        portManager_.selectSerial();
    }
    platform_.udp.setRemotePort(DriveUdpPort);
    platform_.udp.setRemoteHost(choices_.address);
}

void Session::resetRun() {
    udp_.UdpRingRead = udp_.UdpRingWrite = 0;
    download_.LastDotBlock = download_.BlockCount = 0;
    drive_.DriveModelCode = 0;
    serial_.QTSent = download_.DownloadDone = download_.Downloading = false;
    serial_.BootLoaderVersion = 0;
    serial_.RxBuffer.clear();
    serial_.CommSettings = QStringLiteral("9600,N,8,1");
}

void Session::openFirstPort(int portNumber) {
    // The list is filled afresh, which shows its first entry without a click;
    // choosing COM1 then clicks.
    setPortChoice(0);
    portManager_.setCommListIndex(portNumber);
    serial_.CommPortNumber = portNumber;
    if (choices_.link != Link::Serial) {
        return;
    }
    if (serial_.CommPortNumber > 0) {
        if (portManager_.OpenCommPort(serial_.CommPortNumber, serial_.CommSettings,
                                      Handshaking::None)) {
            portManager_.setCommListIndex(serial_.CommPortNumber);
        } else {
            portManager_.setCommListIndex(0);
            serial_.CommPortNumber = 0;
        }
    }
    report_.allowStartDownload(false);
}

void Session::Form_Unload() {
    if (ended_) {
        return;
    }
    ended_ = true;
    waits_.requestStop();
    report_.stopMessages();
    if (platform_.serial.isOpen()) {
        platform_.serial.setBreak(false);
        platform_.serial.close();
    }
    const QString app = AppInfo::settingsApplication();
    const QString section = QStringLiteral("Startup");
    platform_.settings.write(app, section, QStringLiteral("CommPort"),
                             QString::number(serial_.CommPortNumber));
    platform_.settings.write(app, section, QStringLiteral("IPaddress"), choices_.address);
    if (const QString place = platform_.settings.unwritablePlace(); !place.isEmpty()) {
        report_.appendStatus(
            QStringLiteral("The settings could not be saved in %1\r\n").arg(place));
    }
    report_.observer().sessionEnded();
}

void Session::Quit_Click() {
    handle([this] {
        download_.QuitRequested = true;
        shutdownPending_ = true;
        waits_.requestStop();
        report_.stopMessages();
        platform_.fileDialog.cancel();
    });
}

bool Session::refusedWhileDownloading() {
    if (!report_.downloadRunning()) {
        return false;
    }
    report_.showLink(choices_.link);
    report_.showPortChoice(choices_.portChoice);
    report_.showAddress(choices_.address);
    return true;
}

void Session::setLink(Link link) {
    choices_.link = link;
    report_.showLink(link);
}

void Session::setPortChoice(int index) {
    choices_.portChoice = index;
    report_.showPortChoice(index);
}

void Session::setAddress(const QString& text) {
    choices_.address = text;
    report_.showAddress(text);
}

void Session::chooseLink(Link link) {
    if (refusedWhileDownloading()) {
        return;
    }
    handle([this, link] {
        setLink(link);
        if (link == Link::Serial) {
            portManager_.optSerial_Click();
        } else {
            driveAddress_.optEthernet_Click();
        }
    });
}

void Session::choosePort(int index) {
    if (refusedWhileDownloading()) {
        return;
    }
    handle([this, index] {
        setPortChoice(index);
        portManager_.CommList_Click();
    });
}

void Session::editAddress(const QString& text) {
    // Typing only changes the box; the address is checked when it loses focus.
    if (!refusedWhileDownloading()) {
        setAddress(text);
    }
}

void Session::txtIP_LostFocus() {
    // The box loses the focus when the download disables it; the address
    // cannot have changed since the click, so there is nothing to check.
    if (refusedWhileDownloading()) {
        return;
    }
    handle([this] { driveAddress_.txtIP_LostFocus(); });
}

std::optional<PingResult> Session::Ping_Click() {
    std::optional<PingResult> result;
    if (!refusedWhileDownloading()) {
        handle([this, &result] { result = driveAddress_.Ping_Click(); });
    }
    return result;
}

void Session::OpenPrograms_Click() {
    if (refusedWhileDownloading()) {
        return;
    }
    handle([this] { firmwareChooser_.OpenPrograms_Click(); });
}

bool Session::loadFirmwareFile(const QString& path) {
    bool whole = false;
    if (refusedWhileDownloading()) {
        return whole;
    }
    handle([this, &path, &whole] { whole = firmwareChooser_.loadFile(path); });
    return whole;
}

bool Session::fileMatchesDrive() {
    return FileMatchesDrive(firmware_.FileModelCode, drive_.DriveModelCode, report_, firmware_);
}

std::optional<DownloadOutcome> Session::StartDownload_Click() {
    if (ended_ || refusedWhileDownloading()) {
        return std::nullopt;
    }
    report_.setDownloadRunning(true);
    if (serial_.InOnComm) {
        downloadPending_ = true;
        return std::nullopt;
    }
    return runDownload();
}

void Session::runPendingDownload() {
    if (downloadPending_ && !serial_.InOnComm && !waits_.stopRequested()) {
        downloadPending_ = false;
        runDownload();
    }
}

std::optional<DownloadOutcome> Session::runDownload() {
    std::optional<DownloadOutcome> outcome;
    handle([this, &outcome] {
        outcome = downloadSequence_.StartDownload_Click();
        report_.setDownloadRunning(false);
    });
    return outcome;
}

void Session::Delay(double ms) {
    handle([this, ms] { waits_.Delay(ms); });
}

EnetIdentification::Identity Session::identifyOverEthernet() {
    EnetIdentification::Identity identity;
    handle([this, &identity] {
        identity = enetIdentification_.identify();
        drive_.DriveModelCode = identity.modelCode;
    });
    return identity;
}

}  // namespace kestrel
