#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QStringList>
#include <QTextStream>
#include <optional>

#include "ProgressDisplay.h"
#include "report/SessionObserver.h"

namespace kestrel::flash {

// kestrel-flash's front end: status text goes to `out` as it arrives, each
// message the window would show in a box goes to `err` with the same text,
// and what the window would show at the end is kept for the summary.
class ConsoleObserver final : public SessionObserver {
  public:
    // Quiet: only messages, errors and results; verbose: also every command
    // and reply, with the seconds since the run began.
    enum class Verbosity { Quiet, Normal, Verbose };

    ConsoleObserver(QTextStream& out, QTextStream& err) : out_(out), err_(err), progress_(out) {
        since_.start();
    }
    // A bar redrawn in place instead of a line per tenth.
    void progressOnTerminal(bool terminal) { progress_.setTerminal(terminal); }
    void setVerbosity(Verbosity verbosity) { verbosity_ = verbosity; }

    void statusAppended(const QString& text) override;
    void statusCleared() override {}
    void driveChanged(const DriveShown& drive) override { drive_ = drive; }
    void fileChanged(const FileShown& file) override { file_ = file; }
    void countersChanged(const Counters&) override {}
    void progressChanged(qint64 value, qint64 maximum) override;
    void extraTextChanged(const QString&) override {}
    void actionsChanged(const Actions&) override {}
    void linkChanged(Link) override {}
    void portChoiceChanged(int) override {}
    void addressChanged(const QString&) override {}
    void titleChanged(const QString&) override {}
    void showMessage(const QString& text, MessageIcon icon) override;
    void sessionEnded() override;
    void traced(const QString& line) override;

    // While held, messages are only kept: the caller prints them as a
    // result (the answer to --ping) or as an error.
    void holdMessages(bool hold) { held_ = hold; }
    bool messagesHeld() const { return held_; }
    // A line of kestrel-flash's own: a result on `out`, a diagnosis on `err`.
    void printResult(const QString& line);
    void printError(const QString& line);

    const QStringList& messages() const { return messages_; }
    const DriveShown& drive() const { return drive_; }
    const FileShown& file() const { return file_; }
    // The drive as shown when the download's progress first moved (after its
    // identification over Ethernet), if it did.
    bool ended() const { return ended_; }
    // What was shown: drive, file, status log and messages.
    QJsonObject summary() const;

    // Text for a terminal: the drive's CR line ends become LF, and what is
    // not text (control bytes, bytes above 0x7E) is shown as <FF>.
    static QString forTerminal(const QString& text, bool& lastWasCr);

  private:
    // A message just like the one before is counted, not printed again; the
    // count follows once something else is printed.
    void endRepeats();

    QTextStream& out_;
    QTextStream& err_;
    QString status_;
    bool statusLastWasCr_ = false;
    QStringList messages_;
    QStringList icons_;
    DriveShown drive_;
    FileShown file_;
    ProgressDisplay progress_;
    bool held_ = false;
    bool ended_ = false;
    Verbosity verbosity_ = Verbosity::Normal;
    QElapsedTimer since_;
    QString lastMessage_;
    int repeats_ = 0;
};

}  // namespace kestrel::flash
