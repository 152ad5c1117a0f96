#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace kestrel::flash {

// How kestrel-flash ends; scripts rely on these numbers, and --help and the
// README list them.
enum class ExitCode : int {
    Done = 0,
    Stopped = 1,  // SIGINT/SIGTERM ended the run before it finished
    BadArguments = 2,
    PortUnusable = 3,  // the serial port or the UDP socket
    NoDrive = 4,
    FileUnusable = 5,
    FileDoesNotFit = 6,
    // How a download ends otherwise, one code for each way.
    NoFile = 7,
    FileNotFound = 8,
    FileEmpty = 9,
    FileUnreadable = 10,
    PortNotOpen = 11,
    DriveError = 12,
    NoCountReply = 13,
    DroppedFiveTimes = 14,
    SendTimeout = 15,
    DriveNotResponding = 16,
    NotSaved = 17,
    NotConfirmed = 18,
    UnknownError = 19,
    PortNotRestored = 20,
    RevisionNotConfirmed = 21,  // serial: saved, but not with the file's revision
    UnknownModel = 22,  // the file's model is in no family row; --allow-unknown-model loads it
    // A station of several drives: at least one did not end in success (each
    // drive's own code is in the summary, the JSON and the record).
    SomeDrivesFailed = 23,
    RecordUnwritable = 24,  // --record FILE cannot be appended to; no drive was touched
};

// The word --json reports an exit code by.
QString outcomeName(ExitCode code);

// What kestrel-flash was asked to do.
struct FlashOptions {
    enum class Action { Identify, Ping, ListPorts, Download, Help, Version };
    // How the drive is named: --port DEVICE, --com N or --ip ADDRESS (not the
    // link the session uses, kestrel::Link, which follows from it).
    enum class Where { None, Device, Com, Ip };

    // One drive as named on the command line.
    struct Target {
        Where where = Where::None;
        QString device;   // --port
        int comPort = 0;  // --com N, or 1 for --port
        QString address;  // --ip
        bool operator==(const Target&) const = default;
    };

    Action action = Action::Help;
    Where where = Where::None;
    QString device;   // --port: COM1 stands for it during this run
    int comPort = 0;  // the COM port opened: --com N, or 1 for --port
    QString address;  // --ip
    double waitSeconds = 10.0;
    QString file;            // FILE
    bool fileGiven = false;  // an empty FILE is a download with no file chosen
    bool json = false;
    bool simulate = false;  // the drive is simulated in process, on COM1 or at --ip
    // --allow-unknown-model: a file whose model number the family table does
    // not hold goes into any drive, as in the window.
    bool allowUnknownModel = false;
    bool quiet = false;    // only messages, errors and results
    bool verbose = false;  // also every command and reply, with times
    // Every drive named, in the order --port, --com, --ip; the fields above
    // name the first, or the one drive a station run is for.
    QList<Target> targets;
    bool loop = false;    // --loop: take unit after unit until Ctrl-C
    QString firmwareDir;  // --firmware-dir: the newest fitting file, per drive
    QString record;       // --record: one line per unit run, CSV or JSON lines

    bool serial() const { return where == Where::Device || where == Where::Com; }
    // Runs as a station: several drives, a loop, a record or a folder of files.
    bool station() const {
        return targets.size() > 1 || loop || !firmwareDir.isEmpty() || !record.isEmpty();
    }
    // These options for one of the targets alone.
    FlashOptions forTarget(const Target& target) const;
    // How a drive is named in the output: its device, COM port or address.
    static QString targetName(const Target& target);
};

// Either options to run or why the arguments were refused.
struct ParsedArguments {
    std::optional<FlashOptions> options;
    QString error;
};

// Parses the program's arguments (the first is the program's name). Reads
// nothing but its argument: whether a port or file is usable is found out
// when the run uses it.
ParsedArguments parseFlashArguments(const QStringList& arguments);

QString flashHelpText();

}  // namespace kestrel::flash
