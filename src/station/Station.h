#pragma once

#include <QTextStream>

#include "flash/FlashOptions.h"

namespace kestrel::station {

// kestrel-flash as a production station: every drive named is flashed at
// once, each by exactly the run kestrel-flash makes for one drive. Returns the
// exit code.
int runStation(const flash::FlashOptions& options, QTextStream& out, QTextStream& err);

// The station's exit code from its units' own codes: 0 when every unit
// succeeded; a single drive's own code when only one drive was named (as if it
// had run alone); "stopped" when a stop ended a unit; otherwise "some failed".
flash::ExitCode stationExitCode(const QList<flash::ExitCode>& units, int drives, bool stopped);

}  // namespace kestrel::station
