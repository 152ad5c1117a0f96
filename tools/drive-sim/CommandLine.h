#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "DriveOptions.h"

namespace kestrel::drivesim {

// What `kestrel-drive-sim` was asked to do.
struct ProgramOptions {
    DriveOptions drive;
    QString firmwarePath;
    bool powerUpAtStart = true;
    double powerUpDelay = 0.0;
    bool exitAfterVerdict = false;
    double linger = 5.0;   // after the verdict, so the host can finish its commands
    double timeout = 0.0;  // 0: run until a signal or "quit" on stdin
    bool printTranscript = false;
    // The loopback address its UDP side listens on: several simulated drives
    // of one station each have their own (127.0.0.2, 127.0.0.3, ...).
    QString address = QStringLiteral("127.0.0.1");
};

struct CommandLine {
    std::optional<ProgramOptions> options;  // set when the arguments are good
    bool helpRequested = false;
    QString error;  // why the arguments were refused
};

// Parses the program's arguments (the first is the program's name) and reads
// the firmware file they name.
CommandLine parseCommandLine(const QStringList& arguments);
QString commandLineHelp();

}  // namespace kestrel::drivesim
