#pragma once

#include <QByteArray>
#include <QString>

#include "FirmwareFile.h"
#include "Transcript.h"

namespace kestrel::drivesim {

// What arrived of one image, on one link, until a second of quiet ended it.
struct Reception {
    int id = 0;
    Link link = Link::Serial;
    QByteArray received;
    qint64 bytesArrived = 0;  // serial: offset of the next byte in the host's stream
    double firstArrival = 0.0;
    double lastArrival = 0.0;
    int datagramsArrived = 0;
    int datagramsStored = 0;
    int duplicates = 0;
    int datagramsDropped = 0;
    int acksDropped = 0;
    int overruns = 0;
    int lineErrors = 0;
    int xoffs = 0;
    int bytesAfterXoff = 0;  // since the last XOFF reached the host
    int mostBytesAfterXoff = 0;
    int writtenAfterXoff = 0;  // of those, written by the host after the XOFF reached it
    int mostWrittenAfterXoff = 0;
    int hostBitRate = 0;
    bool errorSent = false;
    bool stopped = false;
    QByteArray lastDatagram;
};

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
    // Of those, the bytes the host wrote after the XOFF had reached it: with
    // a line rate emulated (a pty), what the emulated line still held then
    // was written before, and is the emulation's, not the host's reaction.
    int mostWrittenAfterXoff = 0;
    int hostBitRate = 0;  // the host's bit rate when the image began (0: unknown)
    bool errorSent = false;
    bool stopped = false;

    // One line: "identical=yes link=serial bytes=..." for people and scripts.
    QString describe() const;
};

// Judges, at `time`, what arrived against the expected firmware (none: the
// image cannot be called right or wrong, only counted).
Verdict judge(const Reception& reception, const FirmwareFile* expected, double time);

}  // namespace kestrel::drivesim
