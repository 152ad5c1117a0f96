#pragma once

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
    ConsoleObserver(QTextStream& out, QTextStream& err) : out_(out), err_(err), progress_(out) {}
    // A bar redrawn in place instead of a line per tenth.
    void progressOnTerminal(bool terminal) { progress_.setTerminal(terminal); }

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
    void sessionEnded() override { ended_ = true; }

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

  private:
    static QString forTerminal(const QString& text, bool& lastWasCr);

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
};

}  // namespace kestrel::flash
