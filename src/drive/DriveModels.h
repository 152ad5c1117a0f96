#pragma once

#include <QString>
#include <span>

#include "report/Reporter.h"
#include "state/DriveState.h"
#include "state/FirmwareState.h"

namespace kestrel {

// Name and description the window shows for a drive model code.
struct DriveModelInfo {
    bool known = false;
    QString model;        // "Unknown" when not known
    QString description;  // empty when not known
};

DriveModelInfo lookupDriveModel(int code);

// Shows the model and description of `DriveCode` in the drive frame. A code
// the table does not know shows "Unknown" and clears the drive's model code,
// so nothing later mistakes it for an identified drive.
void DescribeDriveModel(int DriveCode, Reporter& report, DriveState& drive);

// One row of the family table: the file model numbers it covers, the caption
// it gives the file, and the drive model codes a file of the row may go into.
struct DriveFamily {
    std::span<const int> fileModels;
    const char* caption;
    bool captionAlways;  // false: the caption is written only when accepted
    std::span<const int> acceptedDrives;
};

// The row whose file set holds `fileModel`, or nullptr.
const DriveFamily* findDriveFamily(int fileModel);
std::span<const DriveFamily> driveFamilies();

// What the family table says of a file model number and a drive model code.
struct FileFit {
    bool accepted = true;
    QString caption;           // the file's caption to show; empty: leave it as it is
    bool fileUnknown = false;  // in no row: the file is shown as unknown, its numbers reset
    bool operator==(const FileFit&) const = default;
};

// The rule itself. Drive code 0 (no drive known) accepts any file and
// changes nothing; a file model number in no row is accepted too.
FileFit judgeFileFit(int fileModel, int driveModel);

// The rule with its effects as the window has them: the caption, and for an
// unknown file its model number and revision reset to 0.
bool FileMatchesDrive(int& FileModelNumber, int DriveModelNumber, Reporter& report,
                      FirmwareState& firmware);

// A file model number in no row of the family table. The last rule lets such
// a file into every drive, since a new model's firmware may be one; nothing
// has checked that it fits.
bool IsUnknownFileModel(int FileModelNumber);
// "The firmware file is for model N, which this updater does not know".
QString UnknownFileModelText(int FileModelNumber);
// Says so in the status log when the model is unknown; true when it did.
bool ReportUnknownFileModel(int FileModelNumber, Reporter& report);

// A revision number n as the window shows it: (n + 100) / 100 with two
// decimals and always a point, so 5 gives "1.05" whatever the locale.
QString DriveRevisionText(int revisionNumber);

}  // namespace kestrel
