#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <optional>

class QIODevice;

namespace kestrel {

// One field of delimited text as the firmware header and the remembered-path
// record write it: leading spaces skipped; the field ends at a comma or a line
// end (CR, LF or CR LF, consumed with it); a field that begins with a double
// quote runs to the closing quote, which may enclose commas and line ends.
struct TextField {
    bool ok = false;
    QByteArray value;
    qint64 consumed = 0;  // bytes taken, delimiter included
    QString error;        // why the field could not be read, when !ok
};

// A real header field is a handful of characters; a longer one means the file
// is not a firmware file, and refusing it keeps a binary image out of the
// captions.
inline constexpr qsizetype kMaxFieldLength = 256;

// Reads the field that starts at the beginning of `data`.
TextField readField(QByteArrayView data);
// Reads the field that starts at the device's position and leaves the device
// just after it.
TextField readField(QIODevice& device);

// The two fields at the head of a firmware file: revision text and model number.
struct FirmwareHeader {
    enum class Status {
        Complete,            // both fields read
        Empty,               // nothing before the end of the data
        EndsAfterRevision,   // the data ends after field 1
        RevisionUnreadable,  // field 1 could not be read, or is not a revision
        ModelUnreadable,     // field 2 could not be read, or is not a model number
    };
    Status status = Status::Empty;
    // Only fields of their kind are kept: field 1 a revision (digits, a point,
    // digits: 1.05), field 2 a model number (decimal digits, 1 to 32767).
    QString revision;  // field 1, one character per byte
    QString model;     // field 2, one character per byte
    qint64 size = 0;   // bytes the fields took; the three unused bytes and the image follow
    QString error;     // why a field could not be read

    bool hasRevision() const {
        return status == Status::Complete || status == Status::EndsAfterRevision ||
               status == Status::ModelUnreadable;
    }
};

FirmwareHeader readFirmwareHeader(QByteArrayView data);
// Reads from the device's position and leaves the device just after field 2,
// so the caller can go on with the rest of the file.
FirmwareHeader readFirmwareHeader(QIODevice& device);

// `FileRevNumber`: the number written by the 1st, 3rd and 4th characters of
// the revision text ("1.05" -> 105, "2" -> 2). Text that does not make a
// decimal number that way gives 0 rather than a made-up revision.
qint16 revisionNumber(QStringView revisionText);

// The revision as a number of hundredths (1.06 -> 106, 1.5 -> 150, 12.05 ->
// 1205), to compare with what a drive reports: its revision r means 100 + r.
// Nothing when the text is not a revision or holds a finer fraction.
std::optional<int> revisionHundredths(QStringView revisionText);

// `FileModelCode`: the model field's number; 0 when the field is not decimal
// digits alone or the number does not fit a model number (a 16-bit signed
// integer). A model number too large for that type is no model, not an
// unknown one: it cannot be any drive's, and cut down it would pass for one.
qint16 modelCode(QStringView modelText);

// The `FileModel` caption for a file's model number.
QString fileModelCaption(int modelCode);

}  // namespace kestrel
