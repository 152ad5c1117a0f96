#include "SimulatedDrive.h"

#include <QList>
#include <algorithm>

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

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// Command text as it can be read in a transcript line.
QString printable(const QByteArray& bytes) {
    QString out;
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && c != '\\') {
            out += QLatin1Char(c);
        } else {
            out += QString::asprintf("\\x%02X", u);
        }
    }
    return out;
}

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values) {
        out.append(static_cast<char>(v));
    }
    return out;
}

QByteArray typed(int type, const QByteArray& payload = {}) {
    return bytes({(type >> 8) & 0xFF, type & 0xFF}) + payload;
}

}  // namespace

SimulatedDrive::SimulatedDrive(Scheduler& scheduler, DriveTransport& transport,
                               DriveOptions options)
    : scheduler_(scheduler),
      transport_(transport),
      options_(std::move(options)),
      revision_(options_.revision),
      blank_(options_.blank),
      lineRate_(options_.normalBitRate),
      random_(options_.seed) {
    if (!options_.firmwareFile.isEmpty()) {
        expected_ = parseFirmwareFile(options_.firmwareFile, &expectedError_);
    }
    // Until powerUp() the drive is taken to have started before anyone
    // listened: a blank one already sits in its boot loader at its own rate.
    if (blank_) {
        mode_ = Mode::BootLoader;
        if (isHighSpeedBootLoader(options_.bootLoaderVersion)) {
            lineRate_ = options_.highSpeedBitRate;
        }
    }
}

std::optional<Verdict> SimulatedDrive::lastVerdict() const {
    if (verdicts_.empty()) {
        return std::nullopt;
    }
    return verdicts_.back();
}

void SimulatedDrive::note(Link link, TranscriptEntry::Kind kind, const QString& text) {
    transcript_.push_back({now(), link, kind, text});
    if (onTranscript) {
        onTranscript(transcript_.back());
    }
}

// ---------------------------------------------------------------- start-up

void SimulatedDrive::powerUp() {
    ++epoch_;
    if (reception_) {
        note(reception_->link, TranscriptEntry::Kind::Event,
             QStringLiteral("power cut: the partial image is lost"));
    }
    reception_.reset();
    held_ = false;
    fill_ = 0.0;
    commandLine_.clear();
    udpCount_ = 0;
    lineRate_ = options_.normalBitRate;
    mode_ = blank_ ? Mode::BootLoader : Mode::Firmware;
    note(Link::Serial, TranscriptEntry::Kind::Event, QStringLiteral("power up"));
    announce();
}

void SimulatedDrive::announce() {
    if (options_.otherFamily) {
        sendPacket(bytes({0xEF, 0x00, 0x00}), QStringLiteral("other-family packet"));
    } else if (blank_) {
        announceBootLoader();
    } else {
        sendPacket(bytes({0xFF, revision_, options_.modelCode}), QStringLiteral("power-up packet"));
    }
}

void SimulatedDrive::announceBootLoader() {
    const int revision = blank_ ? 0xFF : revision_;
    sendPacket(bytes({0xF0, revision, options_.modelCode, options_.bootLoaderVersion}),
               QStringLiteral("boot-loader packet"));
    if (!isHighSpeedBootLoader(options_.bootLoaderVersion)) {
        return;
    }
    // The boot loader changes its bit rate once its packet has left the line.
    const int epoch = epoch_;
    scheduler_.at(lineFreeAt_, [this, epoch] {
        if (epoch != epoch_ || mode_ != Mode::BootLoader) {
            return;
        }
        lineRate_ = options_.highSpeedBitRate;
        mismatchNoted_ = false;
        note(Link::Serial, TranscriptEntry::Kind::Event,
             QStringLiteral("boot loader listens at %1 bit/s").arg(lineRate_));
    });
}

// ------------------------------------------------------------ serial line

void SimulatedDrive::sendPacket(const QByteArray& packet, const QString& name) {
    const QByteArray onLine = packet.left(1) + options_.packetInsert + packet.mid(1);
    note(Link::Serial, TranscriptEntry::Kind::ToHost, name + QLatin1Char(' ') + hex(onLine));
    sendSerialAt(now(), onLine);
}

void SimulatedDrive::sendSerial(const QByteArray& text) {
    note(Link::Serial, TranscriptEntry::Kind::ToHost,
         QStringLiteral("text \"%1\"").arg(printable(text)));
    sendSerialAt(now(), text);
}

void SimulatedDrive::sendSerialAt(double notBefore, const QByteArray& out) {
    for (char byte : out) {
        const int rate = lineRate_;
        const double start = std::max({notBefore, lineFreeAt_, now()});
        lineFreeAt_ = start + characterTime(rate);
        scheduler_.at(lineFreeAt_, [this, byte, rate] {
            if (options_.checkBitRate && hostRate_ > 0 && hostRate_ != rate) {
                if (!mismatchNoted_) {
                    mismatchNoted_ = true;
                    note(Link::Serial, TranscriptEntry::Kind::Event,
                         QStringLiteral("drive sends at %1 bit/s, host listens at %2: garbled")
                             .arg(rate)
                             .arg(hostRate_));
                }
                // A slow byte holds the line low for a whole fast character
                // (a zero with a framing error); a fast one is too short to be
                // seen at all.
                if (rate < hostRate_) {
                    transport_.deliverSerialByte('\0');
                }
                return;
            }
            transport_.deliverSerialByte(byte);
        });
    }
}

void SimulatedDrive::hostBitRateChanged(int bitRate) {
    if (bitRate == hostRate_) {
        return;
    }
    hostRate_ = bitRate;
    mismatchNoted_ = false;
    note(Link::Serial, TranscriptEntry::Kind::Event,
         QStringLiteral("host line set to %1 bit/s").arg(bitRate));
}

void SimulatedDrive::hostSerialBytes(const QByteArray& in, int sentAtBitRate) {
    if (options_.lineRate <= 0) {
        for (char byte : in) {
            serialByte(byte, sentAtBitRate);
        }
        return;
    }
    // A byte is in only once its stop bit is, one character after the one
    // before it at the soonest.
    for (char byte : in) {
        hostLineFreeAt_ = std::max(hostLineFreeAt_, now()) + characterTime(options_.lineRate);
        scheduler_.at(hostLineFreeAt_, [this, byte, sentAtBitRate, due = hostLineFreeAt_] {
            // A real clock runs a burst of arrivals late; the drive goes by
            // the line's time, so its figures are the line's, not the host's.
            lineTime_ = due;
            serialByte(byte, sentAtBitRate);
            lineTime_.reset();
        });
    }
}

void SimulatedDrive::serialByte(char byte, int sentAtBitRate) {
    if (mode_ == Mode::Hung) {
        if (reception_) {
            reception_->lastArrival = now();
        }
        return;
    }
    bool garbled = false;
    bool lost = false;
    if (options_.checkBitRate && sentAtBitRate > 0 && sentAtBitRate != lineRate_) {
        if (!mismatchNoted_) {
            mismatchNoted_ = true;
            note(Link::Serial, TranscriptEntry::Kind::Event,
                 QStringLiteral("host sends at %1 bit/s, drive listens at %2: garbled")
                     .arg(sentAtBitRate)
                     .arg(lineRate_));
        }
        garbled = true;
        lost = sentAtBitRate > lineRate_;
        byte = '\0';
    }
    if (mode_ == Mode::BootLoader) {
        imageByte(byte, garbled, lost);
    } else if (!lost) {
        commandByte(byte);
    }
}

void SimulatedDrive::commandByte(char byte) {
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

void SimulatedDrive::handleCommand(const QByteArray& command) {
    if (command.isEmpty()) {
        return;
    }
    note(Link::Serial, TranscriptEntry::Kind::FromHost,
         QStringLiteral("command \"%1\"").arg(printable(command)));
    static const QList<QByteArray> silent = {"QT", "00", "S", "q", "HM", "PR5"};
    const double replyAt = now() + options_.commandReplyDelay;
    auto replyLine = [&](const QByteArray& line) {
        note(Link::Serial, TranscriptEntry::Kind::ToHost,
             QStringLiteral("reply \"%1\"").arg(printable(line + '\r')));
        sendSerialAt(replyAt, line + '\r');
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
            replyLine(QByteArray::number(revision_ + 100).rightJustified(3, '0') +
                      options_.revisionSuffix);
        }
    } else if (command == "B5827") {
        enterBootLoader(Link::Serial);
    } else {
        replyLine(command.left(1) + '?');
    }
}

void SimulatedDrive::enterBootLoader(Link link) {
    ++epoch_;
    mode_ = Mode::BootLoader;
    reception_.reset();
    held_ = false;
    fill_ = 0.0;
    udpCount_ = 0;
    note(link, TranscriptEntry::Kind::Event, QStringLiteral("boot loader entered"));
    if (link != Link::Serial) {
        return;
    }
    const int epoch = epoch_;
    scheduler_.at(now() + options_.bootEntryDelay, [this, epoch] {
        if (epoch == epoch_) {
            announceBootLoader();
        }
    });
}

void SimulatedDrive::imageByte(char byte, bool garbled, bool lost) {
    if (reception_ && reception_->link != Link::Serial) {
        return;
    }
    Reception& r = reception_ ? *reception_ : startReception(Link::Serial);
    r.lastArrival = now();
    watchQuiet();
    const qint64 offset = r.bytesArrived++;
    // Counted from the XOFF's stop bit on: what was already on the line then
    // is no measure of how fast the host noticed.
    if (held_ && now() > xoffReachedHost_ + kEpsilon) {
        r.mostBytesAfterXoff = std::max(r.mostBytesAfterXoff, ++r.bytesAfterXoff);
    }
    if (garbled) {
        ++r.lineErrors;
    }
    if (lost || r.errorSent) {
        return;
    }
    if (offset == options_.stopAtByte) {
        r.stopped = true;
        hang(Link::Serial, QStringLiteral("image byte %1 arrived").arg(offset));
        return;
    }
    if (offset == options_.errorAtByte) {
        r.errorSent = true;
        note(Link::Serial, TranscriptEntry::Kind::ToHost,
             QStringLiteral("\"E\" at image byte %1").arg(offset));
        sendSerialAt(now(), "E");
        return;
    }
    updateFill();
    if (fill_ + 1.0 > options_.rxBufferSize + kEpsilon) {
        if (r.overruns++ == 0) {
            note(Link::Serial, TranscriptEntry::Kind::Event,
                 QStringLiteral("receive buffer full: image byte %1 lost").arg(offset));
        }
        return;
    }
    fill_ += 1.0;
    r.received.append(byte);
    if (options_.dotEveryBytes > 0 && r.received.size() % options_.dotEveryBytes == 0) {
        note(Link::Serial, TranscriptEntry::Kind::ToHost,
             QStringLiteral("\".\" after %1 bytes").arg(r.received.size()));
        sendSerialAt(now(), ".");
    }
    if (!held_ && fill_ + kEpsilon >= options_.xoffLevel) {
        held_ = true;
        ++r.xoffs;
        r.bytesAfterXoff = 0;
        note(Link::Serial, TranscriptEntry::Kind::ToHost,
             QStringLiteral("XOFF after %1 bytes").arg(r.received.size()));
        sendSerialAt(now(), QByteArray(1, kXoff));
        xoffReachedHost_ = lineFreeAt_;
        scheduleXon();
    }
}

void SimulatedDrive::updateFill() {
    const double t = now();
    fill_ = std::max(0.0, fill_ - (t - fillTime_) * options_.drainRate);
    fillTime_ = t;
}

void SimulatedDrive::scheduleXon() {
    updateFill();
    const double wait = std::max(0.0, (fill_ - options_.xonLevel) / options_.drainRate);
    const int epoch = epoch_;
    scheduler_.at(now() + wait, [this, epoch] {
        if (epoch != epoch_ || !held_ || mode_ == Mode::Hung) {
            return;
        }
        updateFill();
        if (fill_ > options_.xonLevel + 1e-6) {
            scheduleXon();  // the host did not stop at once
            return;
        }
        held_ = false;
        note(Link::Serial, TranscriptEntry::Kind::ToHost,
             QStringLiteral("XON (%1 bytes came after the XOFF)")
                 .arg(reception_ ? reception_->bytesAfterXoff : 0));
        sendSerialAt(now(), QByteArray(1, kXon));
    });
}

// ------------------------------------------------------------------- UDP

void SimulatedDrive::hostDatagram(const QByteArray& datagram, const Endpoint& from) {
    if (datagram.size() < 2) {
        note(Link::Ethernet, TranscriptEntry::Kind::FromHost,
             QStringLiteral("malformed datagram [%1] ignored").arg(hex(datagram)));
        return;
    }
    const int type =
        (static_cast<unsigned char>(datagram[0]) << 8) | static_cast<unsigned char>(datagram[1]);
    if (mode_ == Mode::Hung) {
        note(Link::Ethernet, TranscriptEntry::Kind::FromHost,
             QStringLiteral("datagram type %1, %2 bytes (no answer)")
                 .arg(type)
                 .arg(datagram.size()));
        if (reception_ && type == 17) {
            reception_->lastArrival = now();
        }
        return;
    }
    switch (type) {
        case 8:
            udpCommand(datagram, from);
            break;
        case 16:
            note(Link::Ethernet, TranscriptEntry::Kind::FromHost, QStringLiteral("count query"));
            if (options_.ignoreCountQueries) {
                note(Link::Ethernet, TranscriptEntry::Kind::Event,
                     QStringLiteral("count query ignored"));
            } else {
                reply(typed(16, bytes({(udpCount_ >> 8) & 0xFF, udpCount_ & 0xFF})), from,
                      QStringLiteral("count %1").arg(udpCount_));
            }
            break;
        case 17:
            udpData(datagram, from);
            break;
        case 18:
            note(Link::Ethernet, TranscriptEntry::Kind::FromHost,
                 QStringLiteral("start datagram: count reset"));
            udpCount_ = 0;
            break;
        case 99: {
            note(Link::Ethernet, TranscriptEntry::Kind::FromHost, QStringLiteral("drive query"));
            const quint32 b = options_.buildNumber;
            QByteArray answer =
                bytes({int(b >> 24), int(b >> 16) & 0xFF, int(b >> 8) & 0xFF, int(b & 0xFF)});
            for (quint8 m : options_.mac) {
                answer.append(static_cast<char>(m));
            }
            reply(typed(99, answer), from, QStringLiteral("identity"));
            break;
        }
        default:
            note(Link::Ethernet, TranscriptEntry::Kind::FromHost,
                 QStringLiteral("datagram type %1 [%2] ignored").arg(type).arg(hex(datagram)));
    }
}

void SimulatedDrive::udpCommand(const QByteArray& datagram, const Endpoint& from) {
    if (datagram.size() < 4) {
        note(Link::Ethernet, TranscriptEntry::Kind::FromHost,
             QStringLiteral("command datagram too short [%1] ignored").arg(hex(datagram)));
        return;
    }
    const auto letter = static_cast<unsigned char>(datagram[2]);
    const int bytesBack = static_cast<unsigned char>(datagram[3]);
    const QByteArray args = datagram.mid(4);
    note(Link::Ethernet, TranscriptEntry::Kind::FromHost,
         QStringLiteral("command \"%1\", %2 bytes back")
             .arg(printable(datagram.mid(2, 1) + args))
             .arg(bytesBack));
    if (mode_ == Mode::BootLoader) {
        note(Link::Ethernet, TranscriptEntry::Kind::Event,
             QStringLiteral("the boot loader takes no commands"));
        return;
    }
    if (letter == 'C' && args.isEmpty()) {
        reply(typed(8, bytes({revision_, options_.modelCode})), from,
              QStringLiteral("identity reply"));
    } else if (letter == 0x8E && args == "y") {
        const QByteArray digits =
            QByteArray::number(static_cast<unsigned char>(options_.revisionSuffix), 16)
                .toUpper()
                .rightJustified(2, '0');
        reply(typed(8, "00" + digits), from, QStringLiteral("minor-revision reply"));
    } else if (letter == 'B' && args == "5827") {
        enterBootLoader(Link::Ethernet);
    } else {
        reply(typed(8, bytes({letter, '?'})), from, QStringLiteral("unknown command"));
    }
}

void SimulatedDrive::udpData(const QByteArray& datagram, const Endpoint& from) {
    if (mode_ != Mode::BootLoader || (reception_ && reception_->link != Link::Ethernet)) {
        note(Link::Ethernet, TranscriptEntry::Kind::FromHost,
             QStringLiteral("data datagram, %1 bytes, ignored: no boot loader is taking it")
                 .arg(datagram.size() - 2));
        return;
    }
    Reception& r = reception_ ? *reception_ : startReception(Link::Ethernet);
    r.lastArrival = now();
    watchQuiet();
    const int index = r.datagramsArrived++;
    // Both draws are made for every datagram, so one fault's fraction does not
    // shift the other's sequence.
    const double dataDraw = static_cast<double>(random_()) / 4294967296.0;
    const double ackDraw = static_cast<double>(random_()) / 4294967296.0;
    const bool dropData = dataDraw < options_.dropDataFraction;
    const bool dropAck = ackDraw < options_.dropAckFraction;
    const QByteArray payload = datagram.mid(2);
    note(Link::Ethernet, TranscriptEntry::Kind::FromHost,
         QStringLiteral("data datagram %1, %2 bytes").arg(index).arg(payload.size()));
    if (r.errorSent) {
        return;
    }
    if (index == options_.stopAtDatagram) {
        r.stopped = true;
        hang(Link::Ethernet, QStringLiteral("data datagram %1 arrived").arg(index));
        return;
    }
    if (index == options_.errorAtDatagram) {
        r.errorSent = true;
        reply(typed(15, "E"), from, QStringLiteral("text \"E\""));
        return;
    }
    if (dropData) {
        ++r.datagramsDropped;
        note(Link::Ethernet, TranscriptEntry::Kind::Event, QStringLiteral("lost on the way in"));
        return;
    }
    // No sequence numbers: a resent block the drive already had is stored again.
    const qint64 offset = r.received.size();
    const bool fitsHere = expected_ && expected_->image.mid(offset, payload.size()) == payload;
    if (r.datagramsStored > 0 && payload == r.lastDatagram && !fitsHere) {
        ++r.duplicates;
        note(Link::Ethernet, TranscriptEntry::Kind::Event,
             QStringLiteral("stored again: same data as the datagram before"));
    }
    r.lastDatagram = payload;
    r.received.append(payload);
    ++r.datagramsStored;
    ++udpCount_;
    if (options_.dotEveryDatagrams > 0 && r.datagramsStored % options_.dotEveryDatagrams == 0) {
        reply(typed(15, "."), from, QStringLiteral("text \".\""));
    }
    if (dropAck) {
        ++r.acksDropped;
        note(Link::Ethernet, TranscriptEntry::Kind::Event,
             QStringLiteral("acknowledgement lost on the way out"));
    } else {
        reply(typed(17), from, QStringLiteral("acknowledgement"));
    }
}

void SimulatedDrive::reply(const QByteArray& datagram, const Endpoint& to, const QString& what) {
    note(Link::Ethernet, TranscriptEntry::Kind::ToHost,
         what + QStringLiteral(" [") + hex(datagram) + QLatin1Char(']'));
    scheduler_.at(now() + options_.replyLatency,
                  [this, datagram, to] { transport_.deliverDatagram(datagram, to); });
}

// ---------------------------------------------------------- image judging

SimulatedDrive::Reception& SimulatedDrive::startReception(Link link) {
    // clang 14 judges the nested struct not default-constructible here.
    reception_.emplace(Reception{});
    reception_->id = nextReceptionId_++;
    reception_->link = link;
    reception_->hostBitRate = link == Link::Serial ? hostRate_ : 0;
    reception_->firstArrival = now();
    fill_ = 0.0;
    fillTime_ = now();
    held_ = false;
    note(link, TranscriptEntry::Kind::Event, QStringLiteral("image begins"));
    return *reception_;
}

void SimulatedDrive::watchQuiet() {
    if (quietCheckPending_ || !reception_) {
        return;
    }
    quietCheckPending_ = true;
    const int id = reception_->id;
    scheduler_.at(reception_->lastArrival + options_.quietTime, [this, id] {
        quietCheckPending_ = false;
        if (!reception_) {
            return;
        }
        if (reception_->id != id ||
            now() - reception_->lastArrival + kEpsilon < options_.quietTime) {
            watchQuiet();
            return;
        }
        finishReception();
    });
}

void SimulatedDrive::finishReception() {
    const Reception r = *reception_;
    reception_.reset();
    const Verdict verdict = judge(r);
    verdicts_.push_back(verdict);
    note(r.link, TranscriptEntry::Kind::Event, QStringLiteral("verdict ") + verdict.describe());
    if (onVerdict) {
        onVerdict(verdict);
    }
    if (mode_ != Mode::Hung) {
        restart(verdict.identical || !verdict.expectedKnown, r.link);
    }
}

Verdict SimulatedDrive::judge(const Reception& r) const {
    Verdict v;
    v.link = r.link;
    v.time = now();
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
    v.hostBitRate = r.hostBitRate;
    v.errorSent = r.errorSent;
    v.stopped = r.stopped;
    if (!expected_) {
        return v;
    }
    const QByteArray& image = expected_->image;
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

void SimulatedDrive::restart(bool imageGood, Link link) {
    ++epoch_;
    held_ = false;
    fill_ = 0.0;
    commandLine_.clear();
    udpCount_ = 0;
    lineRate_ = options_.normalBitRate;
    if (imageGood) {
        blank_ = false;
        mode_ = Mode::Firmware;
        const auto newRevision = expected_ ? expected_->driveRevision() : std::nullopt;
        if (newRevision) {
            revision_ = *newRevision;
        }
        note(link, TranscriptEntry::Kind::Event,
             QStringLiteral("restart with firmware revision %1").arg(revision_));
    } else {
        // A drive whose flash holds a broken image has only its boot loader.
        blank_ = true;
        mode_ = Mode::BootLoader;
        note(link, TranscriptEntry::Kind::Event,
             QStringLiteral("restart without valid firmware: boot loader"));
    }
    if (link != Link::Serial) {
        return;  // over Ethernet the drive answers the next identity command instead
    }
    const int epoch = epoch_;
    scheduler_.at(now() + options_.restartDelay, [this, epoch] {
        if (epoch == epoch_) {
            announce();
        }
    });
}

void SimulatedDrive::hang(Link link, const QString& why) {
    mode_ = Mode::Hung;
    note(link, TranscriptEntry::Kind::Event, QStringLiteral("stops answering: ") + why);
}

}  // namespace kestrel::drivesim
