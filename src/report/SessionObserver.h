#pragma once

#include <QString>

#include "state/Choices.h"

namespace kestrel {

enum class MessageIcon { None, Exclamation, Critical };

// What the drive frame shows: revision, model and description.
struct DriveShown {
    QString revision = QStringLiteral("0.00");
    QString model = QStringLiteral("None");
    QString description;
    bool operator==(const DriveShown&) const = default;
};

// What the firmware frame shows: the file's revision, the model(s) it is for
// and its path.
struct FileShown {
    QString revision = QStringLiteral("0.00");
    QString model = QStringLiteral("None");
    QString name = QStringLiteral("Not Loaded");
    bool operator==(const FileShown&) const = default;
};

// The download's counters, kept as the text the system writes into them.
struct Counters {
    QString records = QStringLiteral("0");
    QString packetsSent;
    QString packetsAckd;
    QString timeOutAcks;
    bool operator==(const Counters&) const = default;
};

// Which actions the technician may start now, one per control that starts
// them. While a download runs all are off: nothing may change under it.
struct Actions {
    bool startDownload = true;     // StartDownload
    bool openPrograms = true;      // OpenPrograms
    bool changeConnection = true;  // optSerial, CommList, txtIP and Ping
    bool chooseEthernet = true;    // optEthernet; never once the UDP port could not be had
    bool operator==(const Actions&) const = default;
};

// How the core reports to its front end (the window or the command line), in
// the system's own terms. Every call describes the new state whole, so a front
// end never has to remember earlier calls to present it.
class SessionObserver {
  public:
    virtual ~SessionObserver() = default;

    // Status log: text goes in at the end as written (line ends included).
    virtual void statusAppended(const QString& text) = 0;
    virtual void statusCleared() = 0;

    virtual void driveChanged(const DriveShown& drive) = 0;
    virtual void fileChanged(const FileShown& file) = 0;
    virtual void countersChanged(const Counters& counters) = 0;
    virtual void progressChanged(qint64 value, qint64 maximum) = 0;
    // The download's scratch text, which the window keeps out of sight.
    virtual void extraTextChanged(const QString& text) = 0;
    virtual void actionsChanged(const Actions& actions) = 0;

    // The link in use, with the COM port list entry chosen (0 = "NO COMM")
    // and the drive's address.
    virtual void linkChanged(Link link) = 0;
    virtual void portChoiceChanged(int index) = 0;
    virtual void addressChanged(const QString& address) = 0;
    virtual void titleChanged(const QString& title) = 0;

    // A message the technician must acknowledge before the core goes on.
    virtual void showMessage(const QString& text, MessageIcon icon) = 0;

    // The session has shut down (port closed, settings saved): the front
    // end should end the program.
    virtual void sessionEnded() = 0;

    // A command sent to the drive or its reply, as it went over the wire;
    // for a front end that can show it (the window does not).
    virtual void traced(const QString& line) { (void)line; }
};

}  // namespace kestrel
