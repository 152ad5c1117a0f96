#include "Verdict.h"

#include <algorithm>

namespace kestrel::drivesim {

Verdict judge(const Reception& r, const FirmwareFile* expected, double time) {
    Verdict v;
    v.link = r.link;
    v.time = time;
    v.seconds = r.lastArrival - r.firstArrival;
    v.bytesReceived = r.received.size();
    v.datagramsReceived = r.datagramsStored;
    v.duplicates = r.duplicates;
    v.datagramsDropped = r.datagramsDropped;
    v.acksDropped = r.acksDropped;
    v.overruns = r.overruns;
    v.lineErrors = r.lineErrors;
    v.xoffsSent = r.xoffs;
    v.mostBytesAfterXoff = r.mostBytesAfterXoff;
    v.mostWrittenAfterXoff = r.mostWrittenAfterXoff;
    v.hostBitRate = r.hostBitRate;
    v.errorSent = r.errorSent;
    v.stopped = r.stopped;
    if (!expected) {
        return v;
    }
    const QByteArray& image = expected->image;
    v.expectedKnown = true;
    v.bytesExpected = image.size();
    v.identical = r.received == image && !r.errorSent && !r.stopped;
    if (!v.identical) {
        const qsizetype common = std::min(r.received.size(), image.size());
        qsizetype i = 0;
        while (i < common && r.received[i] == image[i]) {
            ++i;
        }
        v.firstDifference = i;
    }
    return v;
}

QString Verdict::describe() const {
    auto yesNo = [](bool b) { return b ? QStringLiteral("yes") : QStringLiteral("no"); };
    QString text = QStringLiteral("identical=%1 link=%2 bytes=%3 expected=%4 first-difference=%5")
                       .arg(expectedKnown ? yesNo(identical) : QStringLiteral("unknown"))
                       .arg(link == Link::Serial ? QStringLiteral("serial") : QStringLiteral("udp"))
                       .arg(bytesReceived)
                       .arg(bytesExpected)
                       .arg(firstDifference);
    if (link == Link::Serial) {
        text +=
            QStringLiteral(" host-bit-rate=%1 xoffs=%2 overruns=%3 line-errors=%4 after-xoff=%5")
                .arg(hostBitRate)
                .arg(xoffsSent)
                .arg(overruns)
                .arg(lineErrors)
                .arg(mostBytesAfterXoff);
    } else {
        text += QStringLiteral(" datagrams=%1 duplicates=%2 dropped=%3 acks-dropped=%4")
                    .arg(datagramsReceived)
                    .arg(duplicates)
                    .arg(datagramsDropped)
                    .arg(acksDropped);
    }
    text += QStringLiteral(" error-sent=%1 stopped=%2 seconds=%3")
                .arg(yesNo(errorSent), yesNo(stopped))
                .arg(seconds, 0, 'f', 6);
    if (link == Link::Serial) {
        text += QStringLiteral(" written-after-xoff=%1").arg(mostWrittenAfterXoff);
    }
    return text;
}

}  // namespace kestrel::drivesim
