#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

namespace kestrel::drivesim {

enum class Link { Serial, Ethernet };

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

// What the drive concluded about one image it received.
struct Verdict {
    Link link = Link::Serial;
    double time = 0.0;           // when the image was judged
    double seconds = 0.0;        // from the first byte or datagram in to the last
    bool expectedKnown = false;  // a firmware file was given to compare with
    bool identical = false;      // received byte for byte the expected image
    qint64 bytesReceived = 0;    // image bytes the drive stored
    qint64 bytesExpected = 0;
    qint64 firstDifference = -1;  // offset of the first wrong or missing byte
    int datagramsReceived = 0;    // data datagrams stored
    int duplicates = 0;           // stored datagrams that repeated the one before
    int datagramsDropped = 0;     // lost on the way in by the fault option
    int acksDropped = 0;          // acknowledgements lost on the way out
    int overruns = 0;             // bytes lost to a full receive buffer
    int lineErrors = 0;           // bytes garbled by a bit-rate mismatch
    int xoffsSent = 0;
    int mostBytesAfterXoff = 0;  // image bytes in after an XOFF had reached the host, before XON
    int hostBitRate = 0;         // the host's bit rate when the image began (0: unknown)
    bool errorSent = false;
    bool stopped = false;

    // One line: "identical=yes link=serial bytes=..." for people and scripts.
    QString describe() const;
};

}  // namespace kestrel::drivesim
