#pragma once

// Bytes as the drive's two sides write them down and put them together; for
// their .cpp files only.
#include <QByteArray>
#include <QString>
#include <initializer_list>

namespace kestrel::drivesim {

inline QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// Command text as it can be read in a transcript line.
inline QString printable(const QByteArray& bytes) {
    QString out;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '\\') {
            out += QLatin1Char(c);
        } else {
            out += QString::asprintf("\\x%02X", u);
        }
    }
    return out;
}

inline QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values) {
        out.append(static_cast<char>(v));
    }
    return out;
}

}  // namespace kestrel::drivesim
