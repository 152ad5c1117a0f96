#pragma once

#include "SessionObserver.h"

namespace kestrel {

// What the engines tell the technician. It keeps what is shown (so nothing is
// ever read back from a front end) and passes every change on to the
// observer. Once the session stops, messages are no longer shown: the
// handlers that unwind must not hold the shut-down behind a modal box.
class Reporter {
  public:
    explicit Reporter(SessionObserver& observer) : observer_(observer) {}

    void appendStatus(const QString& text) { observer_.statusAppended(text); }
    void clearStatus() { observer_.statusCleared(); }
    void trace(const QString& line) { observer_.traced(line); }

    const DriveShown& drive() const { return drive_; }
    void setDriveRevision(const QString& text);
    void setDriveModel(const QString& model, const QString& description);

    const FileShown& file() const { return file_; }
    void setFileRevision(const QString& text);
    void setFileModel(const QString& text);
    void setFileName(const QString& text);

    const Counters& counters() const { return counters_; }
    void setCounters(const Counters& counters);
    void setProgress(qint64 value, qint64 maximum) { observer_.progressChanged(value, maximum); }
    void setExtraText(const QString& text) { observer_.extraTextChanged(text); }

    // What the front end offers: the rules' choice, all of it held off while
    // a download runs; when it ends, what the rules decided meanwhile shows.
    const Actions& actions() const { return shown_; }
    void allowStartDownload(bool allowed);
    void allowOpenPrograms(bool allowed);
    bool downloadRunning() const { return downloadRunning_; }
    void setDownloadRunning(bool running);

    // The technician's choices as shown; they are kept in Choices, which
    // the session and the rules set, and only shown from here.
    void showLink(Link link) { observer_.linkChanged(link); }
    void showPortChoice(int index) { observer_.portChoiceChanged(index); }
    void showAddress(const QString& address) { observer_.addressChanged(address); }
    bool ethernetAllowed() const { return allowed_.chooseEthernet; }
    void setEthernetAllowed(bool allowed);
    const QString& title() const { return title_; }
    void setTitle(const QString& title);

    void showMessage(const QString& text, MessageIcon icon = MessageIcon::None);
    void stopMessages() { silenced_ = true; }

    SessionObserver& observer() { return observer_; }

  private:
    void publishActions();

    SessionObserver& observer_;
    DriveShown drive_;
    FileShown file_;
    Counters counters_;
    Actions allowed_;  // as the rules left them
    Actions shown_;
    bool downloadRunning_ = false;
    QString title_;
    bool silenced_ = false;
};

}  // namespace kestrel
