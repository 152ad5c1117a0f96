#include "SerialSettings.h"

#include <QStringList>

namespace kestrel {

std::optional<LineSettings> parseLineSettings(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4) {
        return std::nullopt;
    }
    bool ok = false;
    LineSettings s;
    s.baudRate = parts[0].trimmed().toInt(&ok);
    if (!ok || s.baudRate <= 0) {
        return std::nullopt;
    }
    const QString parity = parts[1].trimmed().toUpper();
    if (parity.size() != 1 || !QStringLiteral("NEOMS").contains(parity)) {
        return std::nullopt;
    }
    s.parity = parity[0].toLatin1();
    s.dataBits = parts[2].trimmed().toInt(&ok);
    if (!ok || s.dataBits < 5 || s.dataBits > 8) {
        return std::nullopt;
    }
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1") || stop == QLatin1String("1.5")) {
        s.stopBits = 1;
    } else if (stop == QLatin1String("2")) {
        s.stopBits = 2;
    } else {
        return std::nullopt;
    }
    return s;
}

double characterSeconds(const LineSettings& settings) {
    const int bits = 1 + settings.dataBits + (settings.parity == 'N' ? 0 : 1) + settings.stopBits;
    return bits / static_cast<double>(settings.baudRate);
}

}  // namespace kestrel
