#include "Transcript.h"

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

}  // namespace kestrel::drivesim
