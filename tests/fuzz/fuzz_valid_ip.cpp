// ValidIP against a second reading of its rules, written from the rules by
// splitting at the dots rather than by scanning with dot positions.
#include "FuzzInput.h"

static bool referenceValidIP(const QString& text) {
    // Digits only, at most 255 once leading zeros are set aside.
    static const QRegularExpression group(QStringLiteral("^0*[0-9]{0,3}\\z"));
    const auto fits = [](const QString& g) { return g.contains(group) && g.toInt() <= 255; };
    const QStringList parts = text.split(QLatin1Char('.'));
    const qsizetype dots = parts.size() - 1;
    // A fourth or later dot takes the third one's place: from three dots on the
    // last dot is "the third", and the fourth group is every digit after it.
    return dots >= 1 && !(dots >= 2 && parts[1].isEmpty()) && !(dots == 3 && parts[2].isEmpty()) &&
           !(dots >= 3 && text.endsWith(QLatin1Char('.'))) && fits(parts[0]) &&
           fits(parts.value(1)) && fits(parts.value(2)) && fits(parts.mid(3).join(QString()));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(FuzzInput{data, size}.take(size));
    FUZZ_CHECK(kestrel::ValidIP(text) == referenceValidIP(text));
    return 0;
}
