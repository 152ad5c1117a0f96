#include "UdpSide.h"

#include "DriveText.h"

namespace kestrel::drivesim {

namespace {

QByteArray typed(int type, const QByteArray& payload = {}) {
    return bytes({(type >> 8) & 0xFF, type & 0xFF}) + payload;
}

}  // namespace

UdpSide::UdpSide(DriveCore& core)
    : core_(core), options_(core.options), random_(core.options.seed) {}

void UdpSide::note(TranscriptEntry::Kind kind, const QString& text) {
    core_.note(Link::Ethernet, kind, text);
}

void UdpSide::hostDatagram(const QByteArray& datagram, const Endpoint& from) {
    if (datagram.size() < 2) {
        note(TranscriptEntry::Kind::FromHost,
             QStringLiteral("malformed datagram [%1] ignored").arg(hex(datagram)));
        return;
    }
    const int type =
        (static_cast<unsigned char>(datagram[0]) << 8) | static_cast<unsigned char>(datagram[1]);
    if (core_.mode == DriveMode::Hung) {
        note(TranscriptEntry::Kind::FromHost,
             QStringLiteral("datagram type %1, %2 bytes (no answer)")
                 .arg(type)
                 .arg(datagram.size()));
        if (core_.reception && type == 17) {
            core_.reception->lastArrival = core_.now();
        }
        return;
    }
    switch (type) {
        case 8:
            command(datagram, from);
            break;
        case 16:
            countQuery(from);
            break;
        case 17:
            data(datagram, from);
            break;
        case 18:
            note(TranscriptEntry::Kind::FromHost, QStringLiteral("start datagram: count reset"));
            count_ = 0;
            break;
        case 99:
            driveQuery(from);
            break;
        default:
            note(TranscriptEntry::Kind::FromHost,
                 QStringLiteral("datagram type %1 [%2] ignored").arg(type).arg(hex(datagram)));
    }
}

void UdpSide::command(const QByteArray& datagram, const Endpoint& from) {
    if (datagram.size() < 4) {
        note(TranscriptEntry::Kind::FromHost,
             QStringLiteral("command datagram too short [%1] ignored").arg(hex(datagram)));
        return;
    }
    const auto letter = static_cast<unsigned char>(datagram[2]);
    const int bytesBack = static_cast<unsigned char>(datagram[3]);
    const QByteArray args = datagram.mid(4);
    note(TranscriptEntry::Kind::FromHost, QStringLiteral("command \"%1\", %2 bytes back")
                                              .arg(printable(datagram.mid(2, 1) + args))
                                              .arg(bytesBack));
    if (core_.mode == DriveMode::BootLoader) {
        note(TranscriptEntry::Kind::Event, QStringLiteral("the boot loader takes no commands"));
        return;
    }
    if (letter == 'C' && args.isEmpty()) {
        reply(typed(8, bytes({core_.revision, options_.modelCode})), from,
              QStringLiteral("identity reply"));
    } else if (letter == 0x8E && args == "y") {
        const QByteArray digits =
            QByteArray::number(static_cast<unsigned char>(options_.revisionSuffix), 16)
                .toUpper()
                .rightJustified(2, '0');
        reply(typed(8, "00" + digits), from, QStringLiteral("minor-revision reply"));
    } else if (letter == 'B' && args == "5827") {
        core_.enterBootLoader(Link::Ethernet);
    } else {
        reply(typed(8, bytes({letter, '?'})), from, QStringLiteral("unknown command"));
    }
}

void UdpSide::countQuery(const Endpoint& from) {
    note(TranscriptEntry::Kind::FromHost, QStringLiteral("count query"));
    if (options_.ignoreCountQueries) {
        note(TranscriptEntry::Kind::Event, QStringLiteral("count query ignored"));
        return;
    }
    reply(typed(16, bytes({(count_ >> 8) & 0xFF, count_ & 0xFF})), from,
          QStringLiteral("count %1").arg(count_));
}

void UdpSide::driveQuery(const Endpoint& from) {
    note(TranscriptEntry::Kind::FromHost, QStringLiteral("drive query"));
    const quint32 b = options_.buildNumber;
    QByteArray answer =
        bytes({int(b >> 24), int(b >> 16) & 0xFF, int(b >> 8) & 0xFF, int(b & 0xFF)});
    for (quint8 m : options_.mac) {
        answer.append(static_cast<char>(m));
    }
    reply(typed(99, answer), from, QStringLiteral("identity"));
}

void UdpSide::data(const QByteArray& datagram, const Endpoint& from) {
    auto& reception = core_.reception;
    if (core_.mode != DriveMode::BootLoader || (reception && reception->link != Link::Ethernet)) {
        note(TranscriptEntry::Kind::FromHost,
             QStringLiteral("data datagram, %1 bytes, ignored: no boot loader is taking it")
                 .arg(datagram.size() - 2));
        return;
    }
    Reception& r = reception ? *reception : core_.startReception(Link::Ethernet);
    r.lastArrival = core_.now();
    core_.watchQuiet();
    const int index = r.datagramsArrived++;
    // Both draws are made for every datagram, so one fault's fraction does not
    // shift the other's sequence.
    const double dataDraw = static_cast<double>(random_()) / 4294967296.0;
    const double ackDraw = static_cast<double>(random_()) / 4294967296.0;
    const QByteArray payload = datagram.mid(2);
    note(TranscriptEntry::Kind::FromHost,
         QStringLiteral("data datagram %1, %2 bytes").arg(index).arg(payload.size()));
    if (r.errorSent) {
        return;
    }
    if (index == options_.stopAtDatagram) {
        r.stopped = true;
        core_.hang(Link::Ethernet, QStringLiteral("data datagram %1 arrived").arg(index));
        return;
    }
    if (index == options_.errorAtDatagram) {
        r.errorSent = true;
        reply(typed(15, "E"), from, QStringLiteral("text \"E\""));
        return;
    }
    if (dataDraw < options_.dropDataFraction) {
        ++r.datagramsDropped;
        note(TranscriptEntry::Kind::Event, QStringLiteral("lost on the way in"));
        return;
    }
    store(r, payload, from, ackDraw < options_.dropAckFraction);
}

void UdpSide::store(Reception& r, const QByteArray& payload, const Endpoint& from, bool dropAck) {
    // No sequence numbers: a resent block the drive already had is stored again.
    const qint64 offset = r.received.size();
    const auto& expected = core_.expected;
    const bool fitsHere = expected && expected->image.mid(offset, payload.size()) == payload;
    if (r.datagramsStored > 0 && payload == r.lastDatagram && !fitsHere) {
        ++r.duplicates;
        note(TranscriptEntry::Kind::Event,
             QStringLiteral("stored again: same data as the datagram before"));
    }
    r.lastDatagram = payload;
    r.received.append(payload);
    ++r.datagramsStored;
    ++count_;
    if (options_.dotEveryDatagrams > 0 && r.datagramsStored % options_.dotEveryDatagrams == 0) {
        reply(typed(15, "."), from, QStringLiteral("text \".\""));
    }
    if (dropAck) {
        ++r.acksDropped;
        note(TranscriptEntry::Kind::Event, QStringLiteral("acknowledgement lost on the way out"));
    } else {
        reply(typed(17), from, QStringLiteral("acknowledgement"));
    }
}

void UdpSide::reply(const QByteArray& datagram, const Endpoint& to, const QString& what) {
    note(TranscriptEntry::Kind::ToHost,
         what + QStringLiteral(" [") + hex(datagram) + QLatin1Char(']'));
    core_.scheduler.at(core_.now() + options_.replyLatency,
                       [this, datagram, to] { core_.transport.deliverDatagram(datagram, to); });
}

}  // namespace kestrel::drivesim
