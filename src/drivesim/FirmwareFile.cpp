#include "FirmwareFile.h"

namespace kestrel::drivesim {

namespace {

struct Field {
    QByteArray value;
    qsizetype next = 0;  // index after the field and its delimiter
};

// One delimited text field from `pos`: leading blanks skipped; ends at a
// comma or a line end (CR, LF or CR LF, consumed with it); a quoted field
// runs to its closing quote. Nothing when the data ends before the field
// begins or a quote is never closed.
std::optional<Field> readField(const QByteArray& data, qsizetype pos) {
    while (pos < data.size() && data[pos] == ' ') {
        ++pos;
    }
    if (pos >= data.size()) {
        return std::nullopt;
    }
    Field field;
    if (data[pos] == '"') {
        const qsizetype close = data.indexOf('"', pos + 1);
        if (close < 0) {
            return std::nullopt;
        }
        field.value = data.mid(pos + 1, close - pos - 1);
        pos = close + 1;
        while (pos < data.size() && data[pos] == ' ') {
            ++pos;
        }
    } else {
        const qsizetype start = pos;
        while (pos < data.size() && data[pos] != ',' && data[pos] != '\r' && data[pos] != '\n') {
            ++pos;
        }
        field.value = data.mid(start, pos - start).trimmed();
    }
    if (pos < data.size() && data[pos] == ',') {
        ++pos;
    } else if (pos < data.size() && data[pos] == '\r') {
        ++pos;
        if (pos < data.size() && data[pos] == '\n') {
            ++pos;
        }
    } else if (pos < data.size() && data[pos] == '\n') {
        ++pos;
    }
    field.next = pos;
    return field;
}

// The value of the leading decimal digits (0 when there are none).
int leadingNumber(const QByteArray& text) {
    qint64 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + (c - '0');
        if (value > 1'000'000) {
            return 1'000'000;
        }
    }
    return static_cast<int>(value);
}

}  // namespace

std::optional<int> FirmwareFile::driveRevision() const {
    const int r = revisionNumber - 100;
    if (r < 0 || r > 255) {
        return std::nullopt;
    }
    return r;
}

std::optional<FirmwareFile> parseFirmwareFile(const QByteArray& file, QString* error) {
    auto fail = [error](const QString& why) -> std::optional<FirmwareFile> {
        if (error) {
            *error = why;
        }
        return std::nullopt;
    };
    const auto revision = readField(file, 0);
    if (!revision) {
        return fail(QStringLiteral("the file holds no revision field"));
    }
    const auto model = readField(file, revision->next);
    if (!model) {
        return fail(QStringLiteral("the file ends after the revision field"));
    }
    if (model->next + 3 > file.size()) {
        return fail(QStringLiteral("the file ends inside the three bytes after its header"));
    }
    FirmwareFile parsed;
    parsed.revisionText = revision->value;
    // The revision number is made of the 1st, 3rd and 4th characters: 1.05 -> 105.
    QByteArray digits = revision->value.left(1) + revision->value.mid(2, 2);
    parsed.revisionNumber = leadingNumber(digits);
    parsed.modelNumber = leadingNumber(model->value);
    parsed.imageOffset = model->next + 3;
    parsed.image = file.mid(parsed.imageOffset);
    return parsed;
}

}  // namespace kestrel::drivesim
