#include "UdpChannel.h"

#include "AddressRules.h"
#include "Datagram.h"
#include "platform/ByteBuffer.h"

namespace kestrel {

bool UdpChannel::UDPSendDCLpacket(QByteArrayView DCLletter, quint8 BytesBack,
                                  QByteArrayView DCLdata) {
    lastSendError_.clear();
    if (DCLletter.isEmpty() || !aimAtDrive() || waits_.stopRequested()) {
        return false;
    }
    const QByteArrayView following = DCLdata.size() > 1 ? DCLdata.sliced(1) : QByteArrayView();
    QString error;
    if (!sendToDrive(commandDatagram(DCLletter[0], BytesBack, following), &error)) {
        lastSendError_ =
            error.isEmpty() ? QStringLiteral("the network refused the datagram") : error;
        report_.appendStatus(QStringLiteral("UDP send failed: %1\r\n").arg(lastSendError_));
        return false;
    }
    return true;
}

bool UdpChannel::UDP_DCLcommand(QByteArrayView OutString, quint8 BytesBack) {
    if (OutString.isEmpty()) {
        return false;
    }
    state_.UDPReplyData = QByteArray(1, '\0');
    const bool sent = UDPSendDCLpacket(OutString.first(1), BytesBack, commandData(OutString));
    if (!sent && !lastSendError_.isEmpty()) {
        return false;
    }
    report_.trace(QStringLiteral("> %1 (%2 bytes back)")
                      .arg(QString::fromLatin1(OutString.data(), OutString.size()))
                      .arg(BytesBack));
    // The reply is stored by Winsock1_DataArrival while events are delivered.
    // The first pass does not block, so a command that expects at most one
    // byte returns after exactly one pass.
    const double deadline = waits_.clock().now() + ReplyWait;
    waits_.pump().processPending();
    while (!replyComplete(BytesBack) && waits_.clock().now() < deadline &&
           !waits_.stopRequested()) {
        waits_.pump().waitForEvents(deadline);
    }
    if (BytesBack > 0) {
        report_.trace(replyComplete(BytesBack)
                          ? QStringLiteral("< ") +
                                QString::fromLatin1(state_.UDPReplyData.toHex(' '))
                          : QStringLiteral("< (no reply)"));
    }
    return sent;
}

bool UdpChannel::replyComplete(quint8 bytesBack) const {
    return ByteArrayUBound(state_.UDPReplyData) >= bytesBack - 1;
}

bool UdpChannel::aimAtDrive() {
    const QString& address = choices_.address;
    if (!ValidIP(address)) {
        drive_.clear();
        return false;
    }
    if (plainAddress(address) != drive_) {
        drive_ = plainAddress(address);
        strangers_.clear();
    }
    return true;
}

bool UdpChannel::sendToDrive(const QByteArray& datagram, QString* error) {
    if (drive_.isEmpty()) {
        if (error) {
            *error = QStringLiteral("no valid drive address");
        }
        return false;
    }
    // Set before every datagram: nothing else may decide where the image goes.
    socket_.setRemoteHost(drive_);
    return socket_.send(datagram, error);
}

bool UdpChannel::fromDrive(const QString& sender) {
    if (drive_.isEmpty()) {
        return false;  // nothing asked, nobody to listen to
    }
    if (sender == drive_) {
        return true;
    }
    if (!strangers_.contains(sender)) {
        strangers_.insert(sender);
        report_.appendStatus(QStringLiteral("Ignored a datagram from %1: the drive is at %2\r\n")
                                 .arg(sender, drive_));
    }
    return false;
}

void UdpChannel::Winsock1_DataArrival() {
    if (!socket_.hasPendingDatagram()) {
        return;
    }
    const ReceivedDatagram d = socket_.readDatagram();
    if (!fromDrive(d.sender)) {
        return;
    }
    const std::optional<quint16> type = datagramType(d.data);
    if (!type || !isDriveType(*type)) {
        return;
    }
    const QByteArray payload = d.data.sliced(2);
    switch (static_cast<DatagramType>(*type)) {
        case DatagramType::Command:
            state_.UDPReplyData = payload;
            break;
        case DatagramType::Text:
            storeText(payload);
            break;
        case DatagramType::PacketCount:
            if (payload.size() >= 2) {
                state_.DriveRxCount =
                    static_cast<quint8>(payload[0]) * 256 + static_cast<quint8>(payload[1]);
            }
            break;
        case DatagramType::Data:
            state_.AckReceived = true;
            ++state_.AckCount;
            break;
        case DatagramType::DriveQuery:
            state_.PingReplyData = payload;
            break;
        default:
            break;
    }
}

void UdpChannel::storeText(QByteArrayView text) {
    // The writer never looks at the read index: a burst longer than the ring
    // overwrites the oldest unread bytes, and exactly a ring's worth leaves
    // the ring looking empty.
    int write = state_.UdpRingWrite;
    if (write < 0 || write >= UdpState::RingSize) {
        write = 0;
    }
    for (const char byte : text) {
        state_.UdpRing[static_cast<std::size_t>(write)] = static_cast<unsigned char>(byte);
        write = write == UdpState::RingSize - 1 ? 0 : write + 1;
    }
    state_.UdpRingWrite = write;
}

}  // namespace kestrel
