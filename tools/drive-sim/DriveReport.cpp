#include "DriveReport.h"

namespace kestrel::drivesim {

QString formatEntry(const TranscriptEntry& entry) {
    const char* link = entry.link == Link::Serial ? "serial" : "udp";
    const char* arrow = entry.kind == TranscriptEntry::Kind::FromHost ? "host>"
                        : entry.kind == TranscriptEntry::Kind::ToHost ? "<drive"
                                                                      : "  *";
    return QString::asprintf("%11.6f %-6s %-6s ", entry.time, link, arrow) + entry.text;
}

QString formatTranscript(const Transcript& transcript) {
    QString out;
    for (const auto& entry : transcript) {
        out += formatEntry(entry);
        out += QLatin1Char('\n');
    }
    return out;
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
    return text;
}

}  // namespace kestrel::drivesim
