#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace kestrel::drivesim {

// A firmware file as the drive side reads it: revision text and model number
// as two delimited text fields, three bytes nobody interprets, then the image.
// The drive keeps its own reader so that a fault in the host's header reading
// shows up as a mismatch instead of being repeated on both sides.
struct FirmwareFile {
    QByteArray revisionText;  // e.g. "1.05"
    int revisionNumber = 0;   // its digits, 105
    int modelNumber = 0;
    qint64 imageOffset = 0;  // where the image starts in the file
    QByteArray image;
    // The revision byte the drive reports after taking this image (5 for
    // 1.05), or nothing when the header's revision does not fit a byte.
    std::optional<int> driveRevision() const;
};

// Reads a whole firmware file. On failure returns nothing and says why.
std::optional<FirmwareFile> parseFirmwareFile(const QByteArray& file, QString* error);

}  // namespace kestrel::drivesim
