#include "SerialSide.h"

#include <QList>
#include <algorithm>

#include "DriveText.h"

namespace kestrel::drivesim {

namespace {

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
constexpr int kMaxCommandLength = 80;
constexpr double kEpsilon = 1e-9;

// Start bit, eight data bits, stop bit.
double characterTime(int bitRate) {
    return 10.0 / bitRate;
}

}  // namespace

SerialSide::SerialSide(DriveCore& core)
    : core_(core), options_(core.options), lineRate_(options_.normalBitRate) {
    // A blank drive already sits in its boot loader, at the boot loader's rate.
    if (core_.blank && isHighSpeedBootLoader(options_.bootLoaderVersion)) {
        lineRate_ = options_.highSpeedBitRate;
    }
}

void SerialSide::note(TranscriptEntry::Kind kind, const QString& text) {
    core_.note(Link::Serial, kind, text);
}

void SerialSide::restart() {
    clearBuffer();
    commandLine_.clear();
    lineRate_ = options_.normalBitRate;
}

void SerialSide::clearBuffer() {
    held_ = false;
    fill_ = 0.0;
}

// ---------------------------------------------------------------- packets

void SerialSide::announce() {
    if (options_.otherFamily) {
        sendPacket(bytes({0xEF, 0x00, 0x00}), QStringLiteral("other-family packet"));
    } else if (core_.blank) {
        announceBootLoader();
    } else {
        sendPacket(bytes({0xFF, core_.revision, options_.modelCode}),
                   QStringLiteral("power-up packet"));
    }
}

void SerialSide::announceBootLoader() {
    const int revision = core_.blank ? 0xFF : core_.revision;
    sendPacket(bytes({0xF0, revision, options_.modelCode, options_.bootLoaderVersion}),
               QStringLiteral("boot-loader packet"));
    if (!isHighSpeedBootLoader(options_.bootLoaderVersion)) {
        return;
    }
    // The boot loader changes its bit rate once its packet has left the line.
    core_.inThisRun(lineFreeAt_, [this] {
        if (core_.mode != DriveMode::BootLoader) {
            return;
        }
        lineRate_ = options_.highSpeedBitRate;
        mismatchNoted_ = false;
        note(TranscriptEntry::Kind::Event,
             QStringLiteral("boot loader listens at %1 bit/s").arg(lineRate_));
    });
}

void SerialSide::sendPacket(const QByteArray& packet, const QString& name) {
    const QByteArray onLine = packet.left(1) + options_.packetInsert + packet.mid(1);
    note(TranscriptEntry::Kind::ToHost, name + QLatin1Char(' ') + hex(onLine));
    sendAt(core_.now(), onLine);
}

void SerialSide::sendText(const QByteArray& text) {
    note(TranscriptEntry::Kind::ToHost, QStringLiteral("text \"%1\"").arg(printable(text)));
    sendAt(core_.now(), text);
}

// ------------------------------------------------------------ the line

void SerialSide::sendAt(double notBefore, const QByteArray& out) {
    for (char byte : out) {
        const int rate = lineRate_;
        const double start = std::max({notBefore, lineFreeAt_, core_.now()});
        lineFreeAt_ = start + characterTime(rate);
        core_.scheduler.at(lineFreeAt_, [this, byte, rate] { deliver(byte, rate); });
    }
}

void SerialSide::deliver(char byte, int rate) {
    if (options_.checkBitRate && hostRate_ > 0 && hostRate_ != rate) {
        if (!mismatchNoted_) {
            mismatchNoted_ = true;
            note(TranscriptEntry::Kind::Event,
                 QStringLiteral("drive sends at %1 bit/s, host listens at %2: garbled")
                     .arg(rate)
                     .arg(hostRate_));
        }
        // A slow byte holds the line low for a whole fast character (a zero
        // with a framing error); a fast one is too short to be seen at all.
        if (rate < hostRate_) {
            core_.transport.deliverSerialByte('\0');
        }
        return;
    }
    if (byte == kXoff && held_) {
        xoffDelivered_ = true;
        xoffDeliveredAt_ = core_.now();
    }
    core_.transport.deliverSerialByte(byte);
}

void SerialSide::hostBitRateChanged(int bitRate) {
    if (bitRate == hostRate_) {
        return;
    }
    hostRate_ = bitRate;
    mismatchNoted_ = false;
    note(TranscriptEntry::Kind::Event, QStringLiteral("host line set to %1 bit/s").arg(bitRate));
}

void SerialSide::hostBytes(const QByteArray& in, int sentAtBitRate) {
    if (options_.lineRate <= 0) {
        for (char byte : in) {
            byteIn(byte, sentAtBitRate, hostSawXoff());
        }
        return;
    }
    // A byte is in only once its stop bit is, one character after the one
    // before it at the soonest.
    for (char byte : in) {
        hostLineFreeAt_ = std::max(hostLineFreeAt_, core_.now()) + characterTime(options_.lineRate);
        core_.scheduler.at(hostLineFreeAt_, [this, byte, sentAtBitRate, due = hostLineFreeAt_,
                                             inHold = hostSawXoff()] {
            // A real clock runs a burst of arrivals late; the drive goes by
            // the line's time, so its figures are the line's, not the host's.
            core_.lineTime = due;
            byteIn(byte, sentAtBitRate, inHold);
            core_.lineTime.reset();
        });
    }
}

bool SerialSide::holdingHost() const {
    return held_ && core_.now() > xoffReachedHost_ + kEpsilon;
}

// The host wrote a byte after the drive's XOFF was there for it to read: on a
// real clock the XOFF may reach the pty later than its emulated stop bit.
bool SerialSide::hostSawXoff() const {
    return holdingHost() && xoffDelivered_ && core_.now() > xoffDeliveredAt_ + kEpsilon;
}

void SerialSide::byteIn(char byte, int sentAtBitRate, bool writtenInHold) {
    if (core_.mode == DriveMode::Hung) {
        if (core_.reception) {
            core_.reception->lastArrival = core_.now();
        }
        return;
    }
    bool garbled = false;
    bool lost = false;
    if (options_.checkBitRate && sentAtBitRate > 0 && sentAtBitRate != lineRate_) {
        if (!mismatchNoted_) {
            mismatchNoted_ = true;
            note(TranscriptEntry::Kind::Event,
                 QStringLiteral("host sends at %1 bit/s, drive listens at %2: garbled")
                     .arg(sentAtBitRate)
                     .arg(lineRate_));
        }
        garbled = true;
        lost = sentAtBitRate > lineRate_;
        byte = '\0';
    }
    if (core_.mode == DriveMode::BootLoader) {
        imageByte(byte, garbled, lost, writtenInHold);
    } else if (!lost) {
        commandByte(byte);
    }
}

// ------------------------------------------------------------- commands

void SerialSide::commandByte(char byte) {
    if (byte == '\n') {
        return;
    }
    if (byte != '\r') {
        if (commandLine_.size() < kMaxCommandLength) {
            commandLine_.append(byte);
        }
        return;
    }
    const QByteArray command = commandLine_;
    commandLine_.clear();
    handleCommand(command);
}

void SerialSide::handleCommand(const QByteArray& command) {
    if (command.isEmpty()) {
        return;
    }
    note(TranscriptEntry::Kind::FromHost, QStringLiteral("command \"%1\"").arg(printable(command)));
    static const QList<QByteArray> silent = {"QT", "00", "S", "q", "HM", "PR5"};
    const double replyAt = core_.now() + options_.commandReplyDelay;
    auto replyLine = [&](const QByteArray& line) {
        note(TranscriptEntry::Kind::ToHost,
             QStringLiteral("reply \"%1\"").arg(printable(line + '\r')));
        sendAt(replyAt, line + '\r');
    };
    if (silent.contains(command)) {
        return;
    }
    if (command == "SA") {
        if (options_.replyToSA) {
            replyLine(options_.saReply);
        }
    } else if (command == "SV") {
        if (options_.replyToSV) {
            replyLine(QByteArray::number(core_.revision + 100).rightJustified(3, '0') +
                      options_.revisionSuffix);
        }
    } else if (command == "B5827") {
        core_.enterBootLoader(Link::Serial);
        core_.inThisRun(core_.now() + options_.bootEntryDelay, [this] { announceBootLoader(); });
    } else {
        replyLine(command.left(1) + '?');
    }
}

// ------------------------------------------------------------- the image

Reception& SerialSide::reception() {
    if (core_.reception) {
        return *core_.reception;
    }
    Reception& r = core_.startReception(Link::Serial);
    r.hostBitRate = hostRate_;
    clearBuffer();
    fillTime_ = core_.now();
    return r;
}

void SerialSide::imageByte(char byte, bool garbled, bool lost, bool writtenInHold) {
    if (core_.reception && core_.reception->link != Link::Serial) {
        return;
    }
    Reception& r = reception();
    r.lastArrival = core_.now();
    core_.watchQuiet();
    const qint64 offset = r.bytesArrived++;
    // Counted from the XOFF's stop bit on: what was already on the line then
    // is no measure of how fast the host noticed.
    if (holdingHost()) {
        r.mostBytesAfterXoff = std::max(r.mostBytesAfterXoff, ++r.bytesAfterXoff);
        if (writtenInHold) {
            r.mostWrittenAfterXoff = std::max(r.mostWrittenAfterXoff, ++r.writtenAfterXoff);
        }
    }
    if (garbled) {
        ++r.lineErrors;
    }
    if (lost || r.errorSent) {
        return;
    }
    if (offset == options_.stopAtByte) {
        r.stopped = true;
        core_.hang(Link::Serial, QStringLiteral("image byte %1 arrived").arg(offset));
        return;
    }
    if (offset == options_.errorAtByte) {
        r.errorSent = true;
        note(TranscriptEntry::Kind::ToHost, QStringLiteral("\"E\" at image byte %1").arg(offset));
        sendAt(core_.now(), "E");
        return;
    }
    storeImageByte(r, byte, offset);
}

// Into the receive buffer, unless it is full; "." and XOFF as it fills.
void SerialSide::storeImageByte(Reception& r, char byte, qint64 offset) {
    updateFill();
    if (fill_ + 1.0 > options_.rxBufferSize + kEpsilon) {
        if (r.overruns++ == 0) {
            note(TranscriptEntry::Kind::Event,
                 QStringLiteral("receive buffer full: image byte %1 lost").arg(offset));
        }
        return;
    }
    fill_ += 1.0;
    r.received.append(byte);
    if (options_.dotEveryBytes > 0 && r.received.size() % options_.dotEveryBytes == 0) {
        note(TranscriptEntry::Kind::ToHost,
             QStringLiteral("\".\" after %1 bytes").arg(r.received.size()));
        sendAt(core_.now(), ".");
    }
    if (!held_ && fill_ + kEpsilon >= options_.xoffLevel) {
        held_ = true;
        ++r.xoffs;
        r.bytesAfterXoff = r.writtenAfterXoff = 0;
        note(TranscriptEntry::Kind::ToHost,
             QStringLiteral("XOFF after %1 bytes").arg(r.received.size()));
        sendAt(core_.now(), QByteArray(1, kXoff));
        xoffReachedHost_ = lineFreeAt_;
        xoffDelivered_ = false;
        scheduleXon();
    }
}

void SerialSide::updateFill() {
    const double t = core_.now();
    fill_ = std::max(0.0, fill_ - (t - fillTime_) * options_.drainRate);
    fillTime_ = t;
}

void SerialSide::scheduleXon() {
    updateFill();
    const double wait = std::max(0.0, (fill_ - options_.xonLevel) / options_.drainRate);
    core_.inThisRun(core_.now() + wait, [this] {
        if (!held_ || core_.mode == DriveMode::Hung) {
            return;
        }
        updateFill();
        if (fill_ > options_.xonLevel + 1e-6) {
            scheduleXon();  // the host did not stop at once
            return;
        }
        held_ = false;
        note(TranscriptEntry::Kind::ToHost,
             QStringLiteral("XON (%1 bytes came after the XOFF)")
                 .arg(core_.reception ? core_.reception->bytesAfterXoff : 0));
        sendAt(core_.now(), QByteArray(1, kXon));
    });
}

}  // namespace kestrel::drivesim
