#include "AddressRules.h"

#include <QStringList>
#include <QtEndian>
#include <algorithm>
#include <array>

#include "platform/ByteBuffer.h"

namespace kestrel {

namespace {

constexpr int kLargestGroup = 255;
constexpr int kBuildBytes = 4;
constexpr int kMacOffset = 4;
constexpr int kMacBytes = 6;

}  // namespace

QString plainAddress(const QString& text) {
    const QStringList groups = text.split(QLatin1Char('.'));
    if (groups.size() != 4) {
        return text;
    }
    QStringList plain;
    for (const QString& group : groups) {
        bool ok = false;
        const uint value = group.toUInt(&ok, 10);
        if (!ok || value > kLargestGroup) {
            return text;
        }
        plain << QString::number(value);
    }
    return plain.join(QLatin1Char('.'));
}

bool ValidIP(const QString& IPaddress) {
    std::array<qsizetype, 3> dot{};  // 1-based positions, 0 = not seen
    std::array<int, 4> group{};
    qsizetype position = 0;
    for (const QChar c : IPaddress) {
        ++position;
        if (c == QLatin1Char('.')) {
            // A fourth or later dot takes the third dot's place.
            qsizetype& slot = dot[0] == 0 ? dot[0] : dot[1] == 0 ? dot[1] : dot[2];
            slot = position;
            continue;
        }
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
        int& value = dot[0] == 0   ? group[0]
                     : dot[1] == 0 ? group[1]
                     : dot[2] == 0 ? group[2]
                                   : group[3];
        // Held just past the limit so a long run of digits stays invalid
        // without ever overflowing.
        value = std::min(value * 10 + (c.unicode() - u'0'), kLargestGroup + 1);
    }
    const bool groupsFit =
        std::all_of(group.begin(), group.end(), [](int value) { return value <= kLargestGroup; });
    return dot[0] != 0 && dot[1] - dot[0] != 1 && dot[2] - dot[1] != 1 &&
           dot[2] != IPaddress.size() && groupsFit;
}

QString FormatMacId(const QByteArray& mac) {
    QStringList parts;
    for (const char byte : mac) {
        parts << QString::number(static_cast<quint8>(byte), 16).toUpper();
    }
    return parts.join(QLatin1Char('-'));
}

QString PingAnswerMessage(const QByteArray& answer) {
    const int length = ByteArrayUBound(answer) + 1;
    if (length < kBuildBytes) {
        return QStringLiteral("No response from drive");
    }
    // The build number is unsigned: builds from 2^31 on are shown as the
    // numbers they are.
    const quint32 build = qFromBigEndian<quint32>(answer.constData());
    QString text =
        QStringLiteral("Drive responded.  ARM build number is ") + QString::number(build);
    if (length >= kMacOffset + kMacBytes) {
        text += QStringLiteral(". MAC ID = ") + FormatMacId(answer.mid(kMacOffset, kMacBytes));
    }
    return text;
}

}  // namespace kestrel
