#include "FlashRun.h"

#include <unistd.h>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <algorithm>
#include <optional>

#include "FirmwareDir.h"
#include "PortList.h"
#include "drive/DriveModels.h"
#include "ethernet/AddressRules.h"
#include "firmware/FirmwareHeader.h"
#include "platform/AppInfo.h"
#include "platform/ComPorts.h"
#include "platform/SerialAdapters.h"
#include "platform/SignalWatcher.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtServices.h"
#include "platform/qt/QtUdpSocket.h"

namespace kestrel::flash {

namespace {

// How often the wait for a serial drive looks at what the session shows.
constexpr double kPollMs = 100;

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

struct EndText {
    DownloadEnd end;
    ExitCode code;
    const char* name;
};

const EndText kEnds[] = {
    {DownloadEnd::Success, ExitCode::Done, "success"},
    {DownloadEnd::NoFile, ExitCode::NoFile, "no-file"},
    {DownloadEnd::FileNotFound, ExitCode::FileNotFound, "file-not-found"},
    {DownloadEnd::FileEmpty, ExitCode::FileEmpty, "file-empty"},
    {DownloadEnd::FileUnreadable, ExitCode::FileUnreadable, "file-unreadable"},
    {DownloadEnd::FileDoesNotFit, ExitCode::FileDoesNotFit, "file-does-not-fit"},
    {DownloadEnd::PortNotOpen, ExitCode::PortNotOpen, "port-not-open"},
    {DownloadEnd::DriveError, ExitCode::DriveError, "drive-error"},
    {DownloadEnd::NoCountReply, ExitCode::NoCountReply, "no-count-reply"},
    {DownloadEnd::DroppedFiveTimes, ExitCode::DroppedFiveTimes, "dropped-five-times"},
    {DownloadEnd::SendTimeout, ExitCode::SendTimeout, "send-timeout"},
    {DownloadEnd::DriveNotResponding, ExitCode::DriveNotResponding, "drive-not-responding"},
    {DownloadEnd::NotSaved, ExitCode::NotSaved, "not-saved"},
    {DownloadEnd::NotConfirmed, ExitCode::NotConfirmed, "not-confirmed"},
    {DownloadEnd::RevisionNotConfirmed, ExitCode::RevisionNotConfirmed, "revision-not-confirmed"},
    // --ip is checked before the run; only a bad settings value gets here.
    {DownloadEnd::InvalidAddress, ExitCode::BadArguments, "invalid-address"},
    {DownloadEnd::Stopped, ExitCode::Stopped, "stopped"},
    {DownloadEnd::UnknownModel, ExitCode::UnknownModel, "unknown-model"},
    // The last row also stands for any end that has none.
    {DownloadEnd::UnknownError, ExitCode::UnknownError, "unknown-error"},
};

const EndText& endText(DownloadEnd end) {
    for (const EndText& row : kEnds) {
        if (row.end == end) {
            return row;
        }
    }
    return kEnds[std::size(kEnds) - 1];
}

// A stop is the user's own doing; otherwise a port left unusable matters
// more than how the download went, since the line is in an unknown state.
ExitCode exitCodeFor(const DownloadOutcome& outcome) {
    if (outcome.end != DownloadEnd::Stopped && !outcome.portRestored) {
        return ExitCode::PortNotRestored;
    }
    return endText(outcome.end).code;
}

// Whether the download failed after it had asked the drive who it is, before
// any of the image was taken.
bool askedTheDrive(const DownloadOutcome& outcome) {
    switch (outcome.end) {
        case DownloadEnd::Success:
        case DownloadEnd::Stopped:
        case DownloadEnd::NoFile:
        case DownloadEnd::FileNotFound:
        case DownloadEnd::FileEmpty:
        case DownloadEnd::FileUnreadable:
        case DownloadEnd::UnknownModel:
            return false;
        default:
            return outcome.bytesSent == 0;
    }
}

QJsonObject driveJson(const DriveShown& drive) {
    return {
        {"revision", drive.revision}, {"model", drive.model}, {"description", drive.description}};
}

}  // namespace

ExitCode FlashRun::run() {
    const ExitCode code = act();
    session_.Form_Unload();
    return code;
}

ExitCode FlashRun::act() {
    if (const ExitCode started = start(); started != ExitCode::Done) {
        return started;
    }
    if (simulated_ && options_.serial()) {
        simulated_->powerUp();
    }
    switch (options_.action) {
        case FlashOptions::Action::Ping:
            return ping();
        case FlashOptions::Action::Download:
            return download();
        default:
            return identify();
    }
}

QString FlashRun::device() const {
    return simulated_ ? QStringLiteral("simulated") : comPortDevice(options_.comPort, settings_);
}

ExitCode FlashRun::start() {
    const QString app = AppInfo::settingsApplication();
    // The session knows ports only as the window's COM1..COM8 and the drive
    // only by the address in txtIP. --port and --ip therefore go in as the
    // settings the window would read (COM1 mapped to the device, the address
    // remembered), in RunSettings, which keeps them for this run and never
    // writes them to the window's settings file.
    if (options_.where == FlashOptions::Where::Device) {
        // usb:SERIAL is found here, so that a missing or ambiguous adapter is
        // named as such rather than as a port that does not open.
        const PortName port = resolvePortName(options_.device, sysfsRoot(), devRoot());
        if (!port.error.isEmpty()) {
            observer_.printError(
                QStringLiteral("kestrel-flash: --port %1: %2").arg(options_.device, port.error));
            return ExitCode::PortUnusable;
        }
        settings_.write(app, QStringLiteral("Ports"), QStringLiteral("COM1"), port.device);
    } else if (options_.where == FlashOptions::Where::Ip) {
        settings_.write(app, QStringLiteral("Startup"), QStringLiteral("IPaddress"),
                        options_.address);
    }
    // A serial run needs no UDP port, and must not open COM1 when asked for
    // another port; an Ethernet run opens no serial port at all.
    session_.Form_Load(SessionStart{options_.serial() ? options_.comPort : 0, !options_.serial()});
    session_.firmwareState().unknownModelAllowed = options_.allowUnknownModel;
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
    chosenFile_ = options_.file;
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
    if (!options_.firmwareDir.isEmpty()) {
        return chooseFromFolder();
    }
    return options_.file.isEmpty() ? ExitCode::Done : judgeFile();
}

// --firmware-dir: the drive has been identified; its file is the newest one
// of the folder that fits it.
ExitCode FlashRun::chooseFromFolder() {
    const FirmwareChoice choice =
        chooseFirmware(scanFirmwareDir(options_.firmwareDir), session_.driveState().DriveModelCode,
                       options_.allowUnknownModel);
    if (choice.path.isEmpty()) {
        observer_.printError(
            QStringLiteral("kestrel-flash: %1 (%2)").arg(choice.refusal, options_.firmwareDir));
        return ExitCode::FileDoesNotFit;
    }
    chosenFile_ = choice.path;
    observer_.printResult(QStringLiteral("Firmware for this drive: %1, revision %2%3")
                              .arg(QFileInfo(choice.path).fileName(), choice.revision,
                                   choice.ties.isEmpty()
                                       ? QString()
                                       : QStringLiteral(" (as new: %1; the first by name is taken)")
                                             .arg(choice.ties.join(QStringLiteral(", ")))));
    return ExitCode::Done;
}

// --loop: a unit that already runs the file's revision is not flashed again
// (it is most often the unit just flashed, still connected).
bool FlashRun::driveHasFileRevision() const {
    const QString shown = session_.report().drive().revision.section(QLatin1Char(' '), 0, 0);
    const std::optional<int> drive = revisionHundredths(shown);
    const std::optional<int> file = revisionHundredths(session_.report().file().revision);
    return drive && file && *drive == *file;
}

// --record on Ethernet: the drive's MAC, from Ping's answer, before the download.
void FlashRun::askMac() {
    observer_.holdMessages(true);
    const std::optional<PingResult> ping = session_.Ping_Click();
    observer_.holdMessages(false);
    if (ping && ping->end == PingResult::End::Answered && ping->answer.size() >= 10) {
        mac_ = FormatMacId(ping->answer.mid(4, 6));
    }
}

// The drive announces itself with its power-up packet, which the session's
// receive handler answers as the window does; this only waits, events
// delivered, until the drive frame shows it.
ExitCode FlashRun::identifySerial() {
    return waitForSerialDrive([this] { return driveShown(); });
}

ExitCode FlashRun::waitForSerialDrive(const std::function<bool()>& ready) {
    if (ready()) {
        return ExitCode::Done;  // announced already, before a file was chosen for it
    }
    observer_.printResult(
        QStringLiteral("Waiting up to %1 s for the drive on COM%2 (%3) to power up")
            .arg(options_.waitSeconds)
            .arg(options_.comPort)
            .arg(device()));
    const double deadline = clock_.now() + options_.waitSeconds;
    const qsizetype messages = observer_.messages().size();
    while (!ready() && observer_.messages().size() == messages && !session_.ended()) {
        const double left = deadline - clock_.now();
        if (left <= 0) {
            break;
        }
        session_.Delay(std::min(kPollMs, left * 1000.0));
    }
    if (session_.ended()) {
        return ExitCode::Stopped;
    }
    if (!ready()) {
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
    const EnetIdentification::Identity identity = session_.identifyOverEthernet();
    if (session_.ended()) {
        return ExitCode::Stopped;
    }
    if (!identity.answered) {
        // A loop asks again and again until a unit answers: no error each time.
        if (!options_.loop) {
            observer_.printError(
                QStringLiteral("kestrel-flash: no drive answered at %1").arg(options_.address));
        }
        return ExitCode::NoDrive;
    }
    return ExitCode::Done;
}

// The download's fit check, also in what it says of a file of an unknown model.
ExitCode FlashRun::judgeFile() {
    const int model = session_.firmwareState().FileModelCode;
    const bool refused =
        ReportUnknownFileModel(model, session_.report()) && !options_.allowUnknownModel;
    const bool fits = session_.fileMatchesDrive() && !refused;
    fileFits_ = fits ? 1 : 0;
    const FileShown& file = session_.report().file();
    observer_.printResult(QStringLiteral("File: %1, revision %2, for %3: %4")
                              .arg(file.name, file.revision, file.model,
                                   fits ? QStringLiteral("fits the drive")
                                        : QStringLiteral("does not fit the drive")));
    if (refused) {
        return refuseUnknownModel(model);
    }
    if (!fits) {
        observer_.printError(QStringLiteral(
            "kestrel-flash: The Selected Firmware File cannot be loaded into the Attached Drive"));
        return ExitCode::FileDoesNotFit;
    }
    return ExitCode::Done;
}

ExitCode FlashRun::refuseUnknownModel(int model) {
    observer_.printError(QStringLiteral("kestrel-flash: %1; --allow-unknown-model loads it anyway")
                             .arg(UnknownFileModelText(model)));
    return ExitCode::UnknownModel;
}

// A folder of files needs the drive's model before a file can be chosen, and
// a loop over Ethernet takes a unit only once it answers; a plain download
// goes straight on, and the download identifies the drive itself.
ExitCode FlashRun::identifyFirst() {
    chosenFile_ = options_.file;
    const bool folder = !options_.firmwareDir.isEmpty();
    const bool poll = options_.loop && !options_.serial();
    if (!folder && !poll) {
        return ExitCode::Done;
    }
    const ExitCode found = options_.serial() ? identifySerial() : identifyEthernet();
    if (found != ExitCode::Done || !folder) {
        return found;
    }
    return chooseFromFolder();
}

// "Download to Drive..." as the window's button runs it. A file that could
// not be read is not worth waiting for a drive: the download says why at
// once, with the same message as in the window. Nor is a file of an unknown
// model, refused whatever the drive; the download checks that again when it
// re-reads the file, which may have been replaced during the wait.
ExitCode FlashRun::download() {
    if (const ExitCode known = identifyFirst(); known != ExitCode::Done) {
        return known;
    }
    const QString file =
        chosenFile_.isEmpty() ? QString() : QFileInfo(chosenFile_).absoluteFilePath();
    const bool loaded = !file.isEmpty() && session_.loadFirmwareFile(file);
    if (session_.ended()) {
        return ExitCode::Stopped;
    }
    const int model = session_.firmwareState().FileModelCode;
    if (loaded && !options_.allowUnknownModel && IsUnknownFileModel(model)) {
        return refuseUnknownModel(model);
    }
    if (loaded && options_.serial()) {
        // As in the window: the drive's answered announcement allows the download.
        const ExitCode found =
            waitForSerialDrive([this] { return session_.report().actions().startDownload; });
        if (found != ExitCode::Done) {
            return found;
        }
    }
    if (options_.loop && driveHasFileRevision()) {
        alreadyCurrent_ = true;
        observer_.printResult(QStringLiteral("The drive already has revision %1; not flashed again")
                                  .arg(session_.report().file().revision));
        return ExitCode::Done;
    }
    if (!options_.record.isEmpty() && !options_.serial()) {
        askMac();
    }
    driveBefore_ = session_.report().drive();
    outcome_ = session_.StartDownload_Click();
    return outcome_ ? downloadEnded(*outcome_) : ExitCode::Stopped;
}

ExitCode FlashRun::downloadEnded(const DownloadOutcome& outcome) {
    if (outcome.bytesSent > 0) {
        observer_.printResult(
            QStringLiteral("%1 of %2 image bytes sent in %3 s (%4 bytes/s overall)")
                .arg(outcome.bytesSent)
                .arg(outcome.imageBytes)
                .arg(outcome.seconds, 0, 'f', 2)
                .arg(outcome.seconds > 0 ? qRound64(double(outcome.bytesSent) / outcome.seconds)
                                         : 0));
    }
    if (outcome.end == DownloadEnd::Stopped) {
        // Whoever stopped it must know whether the drive can still be used.
        observer_.printError(
            outcome.driveInBootLoader
                ? QStringLiteral("kestrel-flash: stopped; the drive is left in its boot loader: "
                                 "switch it off and on, then run again")
                : QStringLiteral("kestrel-flash: stopped before the drive was told to take new "
                                 "firmware; it is unchanged"));
        return ExitCode::Stopped;
    }
    if (!options_.serial()) {
        // The download identifies the drive; before that nothing is shown.
        driveBefore_ = outcome.driveIdentified.value_or(session_.report().drive());
        // When the drive never answered its identification, that is why the
        // download failed, whatever the step that noticed.
        if (askedTheDrive(outcome) && !driveShown()) {
            observer_.printError(
                QStringLiteral("kestrel-flash: no drive answered at %1").arg(options_.address));
            return ExitCode::NoDrive;
        }
    }
    const ExitCode code = exitCodeFor(outcome);
    if (!simulated_ || outcome.end != DownloadEnd::Success) {
        return code;
    }
    const auto verdict = simulated_->verdict();
    observer_.printResult(QStringLiteral("Simulated drive: ") +
                          (verdict ? verdict->describe() : QStringLiteral("no image received")));
    return verdict && verdict->identical ? code : ExitCode::NotConfirmed;
}

void FlashRun::downloadSummary(QJsonObject& s) const {
    const DownloadOutcome& o = *outcome_;
    const DownloadState& state = session_.downloadState();
    s.insert("end", endText(o.end).name);
    s.insert("message", o.message);
    s.insert("portRestored", o.portRestored);
    s.insert("driveBefore", driveJson(driveBefore_));
    s.insert("driveAfter", driveJson(session_.report().drive()));
    s.insert("imageBytes", o.imageBytes);
    s.insert("bytesSent", o.bytesSent);
    // Only Ethernet resends: data datagrams sent beyond the blocks delivered.
    s.insert("resends",
             options_.serial() ? 0 : std::max(0, state.DataPacketsSent - state.BlocksDelivered));
    s.insert("seconds", o.seconds);
}

// The drive's answer to Ping is a message box in the window; here it is the
// result, on standard output. Anything else it shows is an error.
ExitCode FlashRun::ping() {
    observer_.holdMessages(true);
    const std::optional<PingResult> ping = session_.Ping_Click();
    observer_.holdMessages(false);
    if (session_.ended() || !ping) {
        return ExitCode::Stopped;
    }
    switch (ping->end) {
        case PingResult::End::Answered:
        case PingResult::End::NoAnswer:
            result_ = ping->message;
            observer_.printResult(ping->message);
            return ping->end == PingResult::End::Answered ? ExitCode::Done : ExitCode::NoDrive;
        case PingResult::End::InvalidAddress:
        case PingResult::End::NotSent:
            break;
    }
    observer_.printError(ping->message);
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
    s.insert("simulated", simulated_ != nullptr);
    s.insert("driveModelCode", session_.driveState().DriveModelCode);
    if (fileFits_ >= 0) {
        s.insert("fileFits", fileFits_ == 1);
    }
    if (!result_.isEmpty()) {
        s.insert("result", result_);
    }
    if (outcome_) {
        downloadSummary(s);
    }
    return s;
}

namespace {

// The file the simulated drive expects: FILE as it is on disk, or a sample
// made for it in `folder`. False (and why, on `err`) when the sample cannot
// be written.
bool simulatedFirmware(FlashOptions& options, QTemporaryDir& folder, QByteArray& firmware,
                       QTextStream& err) {
    if (options.fileGiven) {
        QFile file(options.file);
        if (file.open(QIODevice::ReadOnly)) {
            firmware = file.readAll();
        }
        return true;  // an unreadable FILE is the download's to report
    }
    firmware = sampleFirmwareFile();
    const QString path = folder.filePath(QStringLiteral("Sample-55-1.06.E"));
    QFile file(path);
    if (!folder.isValid() || !file.open(QIODevice::WriteOnly) ||
        file.write(firmware) != firmware.size() || !file.flush()) {
        err << "kestrel-flash: cannot write a sample firmware file: " << file.errorString() << '\n';
        return false;
    }
    options.file = path;
    options.fileGiven = true;
    return true;
}

}  // namespace

ConsoleObserver::Verbosity verbosityOf(const FlashOptions& options) {
    if (options.quiet) {
        return ConsoleObserver::Verbosity::Quiet;
    }
    return options.verbose ? ConsoleObserver::Verbosity::Verbose
                           : ConsoleObserver::Verbosity::Normal;
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
    FlashOptions chosen = options;
    QTemporaryDir sampleFolder;
    QByteArray firmware;
    if (options.simulate && !simulatedFirmware(chosen, sampleFolder, firmware, err)) {
        return int(ExitCode::FileUnusable);
    }
    QtClock clock;
    QtEventPump pump(clock);
    std::optional<SimulatedLink> simulated;
    std::optional<QtSerialPort> realSerial;
    std::optional<QtUdpSocket> realUdp;
    if (options.simulate) {
        simulated.emplace(chosen.address.isEmpty() ? Session::defaultAddress() : chosen.address,
                          firmware);
    } else {
        realSerial.emplace(settings);
        realUdp.emplace();
    }
    NoFileDialog fileDialog;
    Platform platform{clock,
                      pump,
                      simulated ? simulated->serial() : static_cast<SerialPort&>(*realSerial),
                      simulated ? simulated->udp() : static_cast<UdpSocket&>(*realUdp),
                      fileDialog,
                      settings};
    QTextStream& status = options.json ? err : out;
    ConsoleObserver observer(status, err);
    observer.progressOnTerminal(::isatty(options.json ? STDERR_FILENO : STDOUT_FILENO) == 1);
    observer.setVerbosity(verbosityOf(options));
    Session session(platform, observer);
    SignalWatcher signalWatcher([&session] { session.Quit_Click(); });

    FlashRun run(chosen, session, observer, settings, clock, simulated ? &*simulated : nullptr);
    const ExitCode code = run.run();
    if (options.json) {
        out << QJsonDocument(run.summary(code)).toJson();
        out.flush();
    }
    return int(code);
}

}  // namespace kestrel::flash
