#pragma once

#include <QString>
#include <vector>

#include "state/Choices.h"

namespace kestrel::drivesim {

// The drive's two links are the host's two links.
using kestrel::Link;

// One line of what happened on the drive's links, with its time.
struct TranscriptEntry {
    enum class Kind {
        FromHost,  // a command, datagram or notable byte the host sent
        ToHost,    // a reply, packet or datagram the drive sent
        Event,     // something inside the drive (image start, verdict, restart)
    };
    double time = 0.0;
    Link link = Link::Serial;
    Kind kind = Kind::Event;
    QString text;
};

using Transcript = std::vector<TranscriptEntry>;

QString formatEntry(const TranscriptEntry& entry);
QString formatTranscript(const Transcript& transcript);

}  // namespace kestrel::drivesim
