#include "DrivePackets.h"

namespace kestrel {

bool IsDrivePacketMarker(unsigned char byte) {
    return DrivePacketLength(byte) > 0;
}

int DrivePacketLength(unsigned char marker) {
    switch (marker) {
        case DrivePacket::BootLoader:
            return 4;
        case DrivePacket::PowerUp:
        case DrivePacket::OtherFamily:
        case DrivePacket::Revision:
            return 3;
        default:
            return 0;
    }
}

QString StatusTextForByte(unsigned char byte) {
    if (byte == CR) {
        return QStringLiteral("\r\n");
    }
    if (byte == LF || byte >= DrivePacket::FirstNonText) {
        return {};
    }
    return QString(QChar::fromLatin1(static_cast<char>(byte)));
}

bool IsRejectedReply(const QByteArray& reply) {
    return reply.size() >= 2 && reply.at(1) == '?';
}

BootLoaderStandIn bootLoaderStandIn(int FileRevNumber, int FileModelCode) {
    constexpr BootLoaderStandIn noFile{0, 31};
    if (FileRevNumber < 100) {
        return noFile;
    }
    const int revision = FileRevNumber - 100;
    const bool fits = revision <= 255 && FileModelCode >= 0 && FileModelCode <= 255;
    if (!fits) {
        return noFile;
    }
    return {static_cast<unsigned char>(revision), static_cast<unsigned char>(FileModelCode)};
}

}  // namespace kestrel
