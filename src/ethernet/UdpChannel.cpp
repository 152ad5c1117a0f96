#include "UdpChannel.h"

#include "AddressRules.h"
#include "Datagram.h"
#include "serial/ByteBuffer.h"

namespace kestrel {

bool UdpChannel::UDPSendDCLpacket(QByteArrayView DCLletter, quint8 BytesBack,
                                  QByteArrayView DCLdata) {
    lastSendError_.clear();
    const QString address = report_.address();
    if (DCLletter.isEmpty() || !ValidIP(address) || waits_.stopRequested()) {
        return false;
    }
    socket_.setRemoteHost(address);
    const QByteArrayView following = DCLdata.size() > 1 ? DCLdata.sliced(1) : QByteArrayView();
    QString error;
    if (!socket_.send(commandDatagram(DCLletter[0], BytesBack, following), &error)) {
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
    // The reply is stored by Winsock1_DataArrival while events are delivered.
    // The first pass does not block, so a command that expects at most one
    // byte returns after exactly one pass.
    const double deadline = waits_.clock().now() + ReplyWait;
    waits_.pump().processPending();
    while (!replyComplete(BytesBack) && waits_.clock().now() < deadline &&
           !waits_.stopRequested()) {
        waits_.pump().waitForEvents(deadline);
    }
    return sent;
}

bool UdpChannel::replyComplete(quint8 bytesBack) const {
    return ByteArrayUBound(state_.UDPReplyData) >= bytesBack - 1;
}

void UdpChannel::Winsock1_DataArrival() {
    if (!socket_.hasPendingDatagram()) {
        return;
    }
    const ReceivedDatagram d = socket_.readDatagram();
    // Whatever arrives, from wherever, is where unaddressed datagrams go next.
    socket_.setRemoteHost(d.sender);
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
