// ValidIP against a second reading of its rules, written from the rules by
// splitting at the dots rather than by scanning with dot positions.
#include <QStringList>

#include "FuzzInput.h"
#include "ethernet/AddressRules.h"

namespace {

bool groupFits(const QString& digits) {
    qsizetype first = 0;
    while (first < digits.size() && digits[first] == QLatin1Char('0')) {
        ++first;
    }
    const QString significant = digits.mid(first);
    return significant.size() <= 3 && significant.toInt() <= 255;
}

bool referenceValidIP(const QString& text) {
    for (const QChar c : text) {
        if (c != QLatin1Char('.') && (c < QLatin1Char('0') || c > QLatin1Char('9'))) {
            return false;
        }
    }
    const QStringList parts = text.split(QLatin1Char('.'));
    const qsizetype dots = parts.size() - 1;
    // A fourth or later dot takes the third one's place, so from three dots on
    // "the third dot" is the last one, and the fourth group is every digit
    // after the real third dot.
    const bool emptySecond = dots >= 2 && parts[1].isEmpty();
    const bool emptyThird = dots == 3 && parts[2].isEmpty();
    const bool endsAtThird = dots >= 3 && text.endsWith(QLatin1Char('.'));
    const QString fourth = parts.mid(3).join(QString());
    return dots >= 1 && !emptySecond && !emptyThird && !endsAtThird && groupFits(parts[0]) &&
           groupFits(parts.value(1)) && groupFits(parts.value(2)) && groupFits(fourth);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const bool valid = kestrel::ValidIP(text);
    if (valid != referenceValidIP(text)) {
        std::fprintf(stderr, "ValidIP(\"%s\") = %d\n", qPrintable(text), int(valid));
        FUZZ_CHECK(valid == referenceValidIP(text));
    }
    return 0;
}
