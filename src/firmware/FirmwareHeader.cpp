#include "FirmwareHeader.h"

#include <QIODevice>
#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

namespace kestrel {

namespace {

// The field and header rules are written once against this small reading
// interface so that a byte prefix and an open file read the same way.
class ViewSource {
  public:
    explicit ViewSource(QByteArrayView data) : data_(data) {}
    std::optional<char> peek() const {
        return pos_ < data_.size() ? std::optional<char>(data_[pos_]) : std::nullopt;
    }
    void skip() { ++pos_; }
    qint64 taken() const { return pos_; }
    bool failed() const { return false; }
    QString errorString() const { return {}; }

  private:
    QByteArrayView data_;
    qsizetype pos_ = 0;
};

class DeviceSource {
  public:
    explicit DeviceSource(QIODevice& device) : device_(device) {}
    std::optional<char> peek() {
        char c = 0;
        const qint64 n = device_.peek(&c, 1);
        if (n < 0) {
            failed_ = true;
        }
        return n == 1 ? std::optional<char>(c) : std::nullopt;
    }
    void skip() {
        char c = 0;
        if (device_.getChar(&c)) {
            ++taken_;
        } else {
            failed_ = true;
        }
    }
    qint64 taken() const { return taken_; }
    bool failed() const { return failed_; }
    QString errorString() const { return device_.errorString(); }

  private:
    QIODevice& device_;
    qint64 taken_ = 0;
    bool failed_ = false;
};

TextField fieldFailure(QString error) {
    TextField field;
    field.error = std::move(error);
    return field;
}

QString tooLong() {
    return QStringLiteral("a field is longer than %1 characters").arg(kMaxFieldLength);
}

// Header fields are text; a control byte in one means a binary file was
// chosen, whose bytes must neither reach the captions nor pass as a header.
bool isControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7f;
}

QString notText(char c) {
    return QStringLiteral("byte 0x%1 is not text")
        .arg(static_cast<unsigned char>(c), 2, 16, QLatin1Char('0'));
}

template <typename Source>
void skipSpaces(Source& in) {
    while (in.peek() == ' ') {
        in.skip();
    }
}

// Takes the comma or line end that closes a field, if one is next.
template <typename Source>
void takeDelimiter(Source& in) {
    const std::optional<char> c = in.peek();
    if (c == ',' || c == '\n') {
        in.skip();
    } else if (c == '\r') {
        in.skip();
        if (in.peek() == '\n') {
            in.skip();
        }
    }
}

template <typename Source>
TextField readFieldFrom(Source& in) {
    const qint64 start = in.taken();
    TextField field;
    skipSpaces(in);
    if (in.peek() == '"') {
        in.skip();
        for (std::optional<char> c = in.peek(); c != '"'; c = in.peek()) {
            if (!c) {
                return fieldFailure(in.failed()
                                        ? in.errorString()
                                        : QStringLiteral("a quoted field has no closing quote"));
            }
            if (field.value.size() == kMaxFieldLength) {
                return fieldFailure(tooLong());
            }
            if (isControl(*c)) {
                return fieldFailure(notText(*c));
            }
            field.value.append(*c);
            in.skip();
        }
        in.skip();
        // What follows the closing quote up to the delimiter is not part of the value.
        skipSpaces(in);
    } else {
        for (std::optional<char> c = in.peek(); c && c != ',' && c != '\r' && c != '\n';
             c = in.peek()) {
            if (field.value.size() == kMaxFieldLength) {
                return fieldFailure(tooLong());
            }
            if (isControl(*c)) {
                return fieldFailure(notText(*c));
            }
            field.value.append(*c);
            in.skip();
        }
    }
    takeDelimiter(in);
    if (in.failed()) {
        return fieldFailure(in.errorString());
    }
    field.ok = true;
    field.consumed = in.taken() - start;
    return field;
}

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool allDigits(QStringView text) {
    return !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), isDigit);
}

// A text file, a table or a binary image reads as two fields too; only
// fields of the header's own form make a firmware file, so that no other
// file ever reaches a drive as "model 0" or with a made-up revision.
QString revisionFault(const QString& text) {
    const qsizetype point = text.indexOf(QLatin1Char('.'));
    if (point >= 0 && allDigits(QStringView(text).left(point)) &&
        allDigits(QStringView(text).mid(point + 1))) {
        return QString();
    }
    return QStringLiteral("\"%1\" is not a revision (digits, a point, digits)").arg(text);
}

QString modelFault(const QString& text) {
    return modelCode(text) > 0
               ? QString()
               : QStringLiteral("\"%1\" is not a model number (decimal digits, 1 to %2)")
                     .arg(text)
                     .arg(std::numeric_limits<qint16>::max());
}

// Reads one header field into `value`; on the way out says why there is none:
// the file ended (`ended`) or the field could not be read or is not of its
// kind (`unreadable`).
template <typename Source>
bool readHeaderField(Source& in, const char* name, FirmwareHeader::Status ended,
                     FirmwareHeader::Status unreadable, QString (*fault)(const QString&),
                     FirmwareHeader& header, QString& value) {
    if (!in.peek()) {
        header.status = in.failed() ? unreadable : ended;
        header.error = in.failed() ? in.errorString() : QString();
        return false;
    }
    const TextField field = readFieldFrom(in);
    const QString text = QString::fromLatin1(field.value);
    const QString why = field.ok ? fault(text) : field.error;
    if (!why.isEmpty()) {
        header.status = unreadable;
        header.error = QLatin1String(name) + QStringLiteral(" field: ") + why;
        return false;
    }
    value = text;
    return true;
}

template <typename Source>
FirmwareHeader readHeaderFrom(Source& in) {
    using Status = FirmwareHeader::Status;
    FirmwareHeader header;
    const qint64 start = in.taken();
    if (!readHeaderField(in, "revision", Status::Empty, Status::RevisionUnreadable, revisionFault,
                         header, header.revision)) {
        return header;
    }
    header.size = in.taken() - start;
    if (!readHeaderField(in, "model", Status::EndsAfterRevision, Status::ModelUnreadable,
                         modelFault, header, header.model)) {
        return header;
    }
    header.size = in.taken() - start;
    header.status = Status::Complete;
    return header;
}

}  // namespace

TextField readField(QByteArrayView data) {
    ViewSource in(data);
    return readFieldFrom(in);
}

TextField readField(QIODevice& device) {
    DeviceSource in(device);
    return readFieldFrom(in);
}

FirmwareHeader readFirmwareHeader(QByteArrayView data) {
    ViewSource in(data);
    return readHeaderFrom(in);
}

FirmwareHeader readFirmwareHeader(QIODevice& device) {
    DeviceSource in(device);
    return readHeaderFrom(in);
}

qint16 revisionNumber(QStringView revisionText) {
    QString digits;
    for (qsizetype i : {0, 2, 3}) {
        if (i < revisionText.size()) {
            digits.append(revisionText[i]);
        }
    }
    if (digits.isEmpty() || !std::all_of(digits.cbegin(), digits.cend(), isDigit)) {
        return 0;
    }
    return static_cast<qint16>(digits.toInt());  // three digits at most
}

std::optional<int> revisionHundredths(QStringView revisionText) {
    const qsizetype point = revisionText.indexOf(QLatin1Char('.'));
    QStringView whole = revisionText.left(point);
    QStringView fraction = revisionText.mid(point + 1);
    while (fraction.size() > 2 && fraction.endsWith(QLatin1Char('0'))) {
        fraction.chop(1);
    }
    while (whole.size() > 1 && whole.startsWith(QLatin1Char('0'))) {
        whole = whole.mid(1);
    }
    // A drive reports hundredths up to 3.55: anything longer is no match.
    if (point < 0 || !allDigits(whole) || !allDigits(fraction) || whole.size() > 4 ||
        fraction.size() > 2) {
        return std::nullopt;
    }
    return whole.toInt() * 100 + fraction.toInt() * (fraction.size() == 1 ? 10 : 1);
}

qint16 modelCode(QStringView modelText) {
    if (!allDigits(modelText)) {
        return 0;
    }
    int value = 0;
    for (QChar c : modelText) {
        value = value * 10 + (c.unicode() - u'0');
        if (value > std::numeric_limits<qint16>::max()) {
            return 0;
        }
    }
    return static_cast<qint16>(value);
}

QString fileModelCaption(int modelCode) {
    struct Family {
        std::vector<int> models;
        const char* caption;
    };
    static const std::vector<Family> families{
        {{11, 12, 13, 14}, "QN-G"},
        {{20, 21, 26, 27}, "KX-D1 or D2"},
        {{22, 23, 24, 25, 28, 29}, "QN-A"},
        {{31, 32, 34, 35, 39, 40}, "QN-J DC"},
        {{36, 37, 38}, "QN-J AC"},
        {{41, 42, 43, 47}, "QN-B"},
        {{44, 45, 46, 48}, "QN-B-H"},
        {{49, 50, 54}, "KX-M3"},
        {{51, 52, 53}, "KX-M4"},
        {{55, 56, 57}, "KX-M1"},
        {{79, 80, 81, 82, 83}, "QN-E"},
        {{85, 86, 87, 88, 89}, "QN-E-H"},
        {{129, 130}, "QN-F"},
    };
    for (const Family& family : families) {
        if (std::find(family.models.begin(), family.models.end(), modelCode) !=
            family.models.end()) {
            return QLatin1String(family.caption);
        }
    }
    return QStringLiteral("Unknown");
}

}  // namespace kestrel
