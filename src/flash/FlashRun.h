#pragma once

#include <QJsonObject>
#include <functional>

#include "ConsoleObserver.h"
#include "FlashOptions.h"
#include "RunSettings.h"
#include "SimulatedLink.h"
#include "platform/Clock.h"
#include "platform/FileDialog.h"
#include "session/Session.h"

namespace kestrel::flash {

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

// One run of kestrel-flash on a started-up session: it makes the calls that
// a technician's clicks would make in the window, waits as the window does,
// and turns what the session reported into an exit code and a summary.
class FlashRun {
  public:
    // `simulated`: the drive of --simulate, powered up once the port is open.
    FlashRun(const FlashOptions& options, Session& session, ConsoleObserver& observer,
             RunSettings& settings, Clock& clock, SimulatedLink* simulated = nullptr)
        : options_(options),
          session_(session),
          observer_(observer),
          settings_(settings),
          clock_(clock),
          simulated_(simulated) {}

    // Runs the action, then shuts the session down (port closed, nothing
    // saved for the window).
    ExitCode run();
    // The --json object: outcome, link, what was shown.
    QJsonObject summary(ExitCode code) const;
    // --loop: the unit had the file's revision already and was left alone.
    bool alreadyCurrent() const { return alreadyCurrent_; }
    // The drive's MAC as Ping showed it (asked only for --record, Ethernet).
    const QString& mac() const { return mac_; }
    // The firmware file downloaded or judged: FILE, or the one --firmware-dir chose.
    const QString& chosenFile() const { return chosenFile_; }

  private:
    ExitCode act();
    ExitCode start();
    ExitCode identify();
    ExitCode identifySerial();
    // Waits, events delivered, until `ready` holds, a message is shown or
    // --wait has passed.
    ExitCode waitForSerialDrive(const std::function<bool()>& ready);
    ExitCode download();
    ExitCode identifyFirst();
    ExitCode chooseFromFolder();
    bool driveHasFileRevision() const;
    void askMac();
    ExitCode downloadEnded(const DownloadOutcome& outcome);
    void downloadSummary(QJsonObject& s) const;
    ExitCode identifyEthernet();
    ExitCode ping();
    ExitCode judgeFile();
    ExitCode refuseUnknownModel(int model);
    bool driveShown() const;
    QString device() const;

    const FlashOptions& options_;
    Session& session_;
    ConsoleObserver& observer_;
    RunSettings& settings_;
    Clock& clock_;
    SimulatedLink* simulated_;
    QString result_;
    int fileFits_ = -1;                       // -1: not judged
    std::optional<DownloadOutcome> outcome_;  // once a download has run
    DriveShown driveBefore_;
    QString chosenFile_;
    QString mac_;
    bool alreadyCurrent_ = false;
};

ConsoleObserver::Verbosity verbosityOf(const FlashOptions& options);

// The whole program after its arguments were read: the real platform, the
// session and the run. Returns the exit code.
int runFlash(const FlashOptions& options, QTextStream& out, QTextStream& err);

}  // namespace kestrel::flash
