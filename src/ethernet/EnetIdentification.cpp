#include "EnetIdentification.h"

#include "drive/DriveModels.h"
#include "platform/ByteBuffer.h"

namespace kestrel {

int hexCharacterCode(char high, char low) {
    int value = 0;
    for (const char c : {high, low}) {
        if (c == ' ') {
            continue;
        }
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        }
        if (digit < 0) {
            break;
        }
        value = value * 16 + digit;
    }
    return value;
}

EnetIdentification::Identity EnetIdentification::identify() {
    channel_.UDP_DCLcommand("C", 2);
    if (ByteArrayUBound(udp_.UDPReplyData) < 1) {
        return {};
    }
    // Read before the minor-revision exchange replaces the reply.
    const int revisionCode = static_cast<quint8>(udp_.UDPReplyData[0]);
    const int modelCode = static_cast<quint8>(udp_.UDPReplyData[1]);
    const QString revision = DriveRevisionText(revisionCode) + GetMinorRev();
    report_.setDriveRevision(revision);
    DescribeDriveModel(modelCode, report_, drive_);
    const DriveModelInfo info = lookupDriveModel(modelCode);
    return {true, modelCode, revisionCode, {revision, info.model, info.description}};
}

bool EnetIdentification::CheckDrive() {
    const Identity identity = identify();
    return identity.answered && identity.modelCode != 0;
}

QString EnetIdentification::GetMinorRev() {
    if (choices_.link != Link::Ethernet) {
        return {};
    }
    channel_.UDP_DCLcommand("\x8Ey", 4);
    if (ByteArrayUBound(udp_.UDPReplyData) < 3) {
        return {};
    }
    const int code = hexCharacterCode(udp_.UDPReplyData[2], udp_.UDPReplyData[3]);
    return QLatin1Char(' ') + QChar(code);
}

}  // namespace kestrel
