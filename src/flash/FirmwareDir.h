#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace kestrel::flash {

// A firmware file of a folder whose header could be read whole.
struct FirmwareCandidate {
    QString path;
    QString revision;    // as the header writes it
    int hundredths = 0;  // the revision compared by: 1.06 is 106
    int model = 0;       // the file's model number
};

// Every file in `folder` (not its subfolders) with a complete header and a
// revision that can be compared; others are left out, since they could not be
// downloaded anyway. Sorted by name, so that a tie is always broken the same way.
QList<FirmwareCandidate> scanFirmwareDir(const QString& folder);

struct FirmwareChoice {
    QString path;  // empty: nothing fits, `refusal` says why
    QString revision;
    QStringList ties;  // other files of the same revision that fit as well
    QString refusal;
};

// The file of the highest revision that the family table lets into a drive of
// `driveModel`. A file of a model in no row fits only when `allowUnknown`.
FirmwareChoice chooseFirmware(const QList<FirmwareCandidate>& candidates, int driveModel,
                              bool allowUnknown);

}  // namespace kestrel::flash
