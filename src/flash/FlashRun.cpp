#include "FlashRun.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <algorithm>

#include "PortList.h"
#include "ethernet/AddressRules.h"
#include "platform/AppInfo.h"
#include "platform/ComPorts.h"
#include "platform/SignalWatcher.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtServices.h"
#include "platform/qt/QtUdpSocket.h"

namespace kestrel::flash {

namespace {

// How often the wait for a serial drive looks at what the session shows.
constexpr double kPollMs = 100;

// A terminal has no file dialog; the file comes from the command line.
class NoFileDialog final : public FileDialog {
  public:
    FileDialogResult getOpenFileName(const QString&, const QString&, const QString&) override {
        return {
            FileDialogResult::Outcome::Failed,
            {},
            QStringLiteral("kestrel-flash has no file dialog: name the FILE on its command line")};
    }
};

QString actionName(FlashOptions::Action action) {
    switch (action) {
        case FlashOptions::Action::Identify:
            return QStringLiteral("identify");
        case FlashOptions::Action::Ping:
            return QStringLiteral("ping");
        case FlashOptions::Action::ListPorts:
            return QStringLiteral("list-ports");
        case FlashOptions::Action::Download:
            return QStringLiteral("download");
        case FlashOptions::Action::Help:
        case FlashOptions::Action::Version:
            break;
    }
    return QString();
}

}  // namespace

ExitCode FlashRun::run() {
    const ExitCode code = act();
    session_.Form_Unload();
    return code;
}

ExitCode FlashRun::act() {
    if (options_.action == FlashOptions::Action::Download) {
        observer_.printError(QStringLiteral(
            "kestrel-flash: this version identifies drives; give --identify with the FILE"));
        return ExitCode::BadArguments;
    }
    if (const ExitCode started = start(); started != ExitCode::Done) {
        return started;
    }
    return options_.action == FlashOptions::Action::Ping ? ping() : identify();
}

QString FlashRun::device() const {
    return comPortDevice(options_.comPort, settings_);
}

ExitCode FlashRun::start() {
    const QString app = AppInfo::settingsApplication();
    if (options_.link == FlashOptions::Link::Device) {
        settings_.write(app, QStringLiteral("Ports"), QStringLiteral("COM1"), options_.device);
    } else if (options_.link == FlashOptions::Link::Ip) {
        settings_.write(app, QStringLiteral("Startup"), QStringLiteral("IPaddress"),
                        options_.address);
    }
    // A serial run needs no UDP port, and must not open COM1 when asked for
    // another port; an Ethernet run opens no serial port at all.
    session_.Form_Load(SessionStart{options_.serial() ? options_.comPort : 0, !options_.serial()});
    if (session_.ended()) {
        return ExitCode::Stopped;
    }
    if (options_.serial()) {
        if (session_.serialState().CommPortNumber != 0) {
            return ExitCode::Done;
        }
        observer_.printError(QStringLiteral("kestrel-flash: ") +
                             portAdvice(options_.comPort, device()));
        return ExitCode::PortUnusable;
    }
    if (!session_.report().ethernetAllowed()) {
        observer_.printError(QStringLiteral(
            "kestrel-flash: UDP port 7777 cannot be bound; another program (the updater's "
            "window?) may hold it"));
        return ExitCode::PortUnusable;
    }
    session_.chooseLink(Link::Ethernet);
    return ExitCode::Done;
}

bool FlashRun::driveShown() const {
    return session_.report().drive() != DriveShown{};
}

ExitCode FlashRun::identify() {
    // The window shows and re-opens the dialog's full path; so does this.
    const QString file =
        options_.file.isEmpty() ? QString() : QFileInfo(options_.file).absoluteFilePath();
    if (!file.isEmpty() && !session_.loadFirmwareFile(file)) {
        return session_.ended() ? ExitCode::Stopped : ExitCode::FileUnusable;
    }
    const ExitCode found = options_.serial() ? identifySerial() : identifyEthernet();
    if (found != ExitCode::Done) {
        return found;
    }
    const DriveShown& drive = session_.report().drive();
    observer_.printResult(QStringLiteral("Drive: %1, revision %2%3")
                              .arg(drive.model, drive.revision,
                                   drive.description.isEmpty()
                                       ? QString()
                                       : QStringLiteral(" (%1)").arg(drive.description)));
    return options_.file.isEmpty() ? ExitCode::Done : judgeFile();
}

// The drive announces itself with its power-up packet, which the session's
// receive handler answers as the window does; this only waits, events
// delivered, until the drive frame shows it.
ExitCode FlashRun::identifySerial() {
    observer_.printResult(
        QStringLiteral("Waiting up to %1 s for the drive on COM%2 (%3) to power up")
            .arg(options_.waitSeconds)
            .arg(options_.comPort)
            .arg(device()));
    const double deadline = clock_.now() + options_.waitSeconds;
    const qsizetype messages = observer_.messages().size();
    while (!driveShown() && observer_.messages().size() == messages && !session_.ended()) {
        const double left = deadline - clock_.now();
        if (left <= 0) {
            break;
        }
        session_.Delay(std::min(kPollMs, left * 1000.0));
    }
    if (session_.ended()) {
        return ExitCode::Stopped;
    }
    if (!driveShown()) {
        // A message that ended the wait (a drive of another family) says why.
        if (observer_.messages().size() == messages) {
            observer_.printError(
                QStringLiteral("kestrel-flash: no drive announced itself on COM%1 (%2)")
                    .arg(options_.comPort)
                    .arg(device()));
        }
        return ExitCode::NoDrive;
    }
    return ExitCode::Done;
}

// The identity queries of the download. A drive that answers with a model
// code the table does not know still answered: it is shown as "Unknown".
ExitCode FlashRun::identifyEthernet() {
    const bool known = session_.identifyOverEthernet();
    if (session_.ended()) {
        return ExitCode::Stopped;
    }
    if (!known && !driveShown()) {
        observer_.printError(
            QStringLiteral("kestrel-flash: no drive answered at %1").arg(options_.address));
        return ExitCode::NoDrive;
    }
    return ExitCode::Done;
}

ExitCode FlashRun::judgeFile() {
    const bool fits = session_.fileMatchesDrive();
    fileFits_ = fits ? 1 : 0;
    const FileShown& file = session_.report().file();
    observer_.printResult(QStringLiteral("File: %1, revision %2, for %3: %4")
                              .arg(file.name, file.revision, file.model,
                                   fits ? QStringLiteral("fits the drive")
                                        : QStringLiteral("does not fit the drive")));
    if (!fits) {
        observer_.printError(QStringLiteral(
            "kestrel-flash: The Selected Firmware File cannot be loaded into the Attached Drive"));
        return ExitCode::FileDoesNotFit;
    }
    return ExitCode::Done;
}

// The drive's answer to Ping is a message box in the window; here it is the
// result, on standard output. Anything else it shows is an error.
ExitCode FlashRun::ping() {
    const qsizetype before = observer_.messages().size();
    observer_.holdMessages(true);
    session_.Ping_Click();
    observer_.holdMessages(false);
    if (session_.ended()) {
        return ExitCode::Stopped;
    }
    const QString answer =
        observer_.messages().size() > before ? observer_.messages().last() : QString();
    const bool answered = session_.udpState().PingReplyData.size() >= 4;
    if (answered || answer == PingAnswerMessage(QByteArray())) {
        result_ = answer;
        observer_.printResult(answer);
        return answered ? ExitCode::Done : ExitCode::NoDrive;
    }
    observer_.printError(answer);
    return ExitCode::PortUnusable;
}

QJsonObject FlashRun::summary(ExitCode code) const {
    QJsonObject s = observer_.summary();
    s.insert("action", actionName(options_.action));
    s.insert("exitCode", int(code));
    s.insert("outcome", outcomeName(code));
    if (options_.serial()) {
        s.insert("link", QJsonObject{{"kind", "serial"},
                                     {"port", QStringLiteral("COM%1").arg(options_.comPort)},
                                     {"device", device()}});
    } else {
        s.insert("link", QJsonObject{{"kind", "ethernet"}, {"address", options_.address}});
    }
    s.insert("driveAnswered", driveShown());
    s.insert("driveModelCode", session_.driveState().DriveModelCode);
    if (fileFits_ >= 0) {
        s.insert("fileFits", fileFits_ == 1);
    }
    if (!result_.isEmpty()) {
        s.insert("result", result_);
    }
    return s;
}

int runFlash(const FlashOptions& options, QTextStream& out, QTextStream& err) {
    QtSettingsStore realSettings;
    RunSettings settings(realSettings);
    if (options.action == FlashOptions::Action::ListPorts) {
        out << (options.json ? QString::fromUtf8(QJsonDocument(portListJson(settings)).toJson())
                             : portListText(settings));
        out.flush();
        return int(ExitCode::Done);
    }
    QtClock clock;
    QtEventPump pump(clock);
    QtSerialPort serial(settings);
    QtUdpSocket udp;
    NoFileDialog fileDialog;
    Platform platform{clock, pump, serial, udp, fileDialog, settings};
    ConsoleObserver observer(options.json ? err : out, err);
    Session session(platform, observer);
    SignalWatcher signalWatcher([&session] { session.Quit_Click(); });

    FlashRun run(options, session, observer, settings, clock);
    const ExitCode code = run.run();
    if (options.json) {
        out << QJsonDocument(run.summary(code)).toJson();
        out.flush();
    }
    return int(code);
}

}  // namespace kestrel::flash
