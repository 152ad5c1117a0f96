#include "EthernetBlockSender.h"

#include <algorithm>

#include "ethernet/Datagram.h"

namespace kestrel {

namespace {

QByteArrayView firstElements(QByteArrayView data, int lastIndex) {
    return data.first(std::clamp<qsizetype>(qsizetype{lastIndex} + 1, 0, data.size()));
}

}  // namespace

void EthernetBlockSender::SendDataPacket(QByteArrayView data, int lastIndex) {
    if (stopping()) {
        return;
    }
    sendDatagram(envelope(DatagramType::Data, firstElements(data, lastIndex)));
    ++download_.DataPacketsSent;
}

void EthernetBlockSender::SendStartPacket() {
    if (stopping()) {
        return;
    }
    download_.BlocksDelivered = 0;
    sendDatagram(envelope(DatagramType::Start));
}

void EthernetBlockSender::RequestPacketCount() {
    udp_.DriveRxCount = -1;
    if (!stopping()) {
        sendDatagram(envelope(DatagramType::PacketCount));
    }
}

void EthernetBlockSender::sendDatagram(const QByteArray& datagram) {
    QString error;
    if (!channel_.sendToDrive(datagram, &error)) {
        // Said once per datagram, so a technician can tell a refused send
        // from a drive that does not answer.
        report_.appendStatus(QStringLiteral("UDP send failed: %1\r\n")
                                 .arg(error.isEmpty() ? QStringLiteral("refused") : error));
    }
}

unsigned char EthernetBlockSender::NextRingByte() {
    int read = udp_.UdpRingRead;
    if (read < 0 || read >= UdpState::RingSize) {
        read = 0;
    }
    const unsigned char byte = udp_.UdpRing[static_cast<std::size_t>(read)];
    udp_.UdpRingRead = read == UdpState::RingSize - 1 ? 0 : read + 1;
    return byte;
}

BlockResult EthernetBlockSender::send(QByteArrayView block) {
    const int lastIndex = static_cast<int>(block.size()) - 1;
    udp_.AckReceived = false;
    SendDataPacket(block, lastIndex);
    switch (waitForAck(now() + AckWait, true)) {
        case AckWaitEnd::Acked:
            return blockDelivered();
        case AckWaitEnd::DriveError:
            return BlockResult::DriveError;
        case AckWaitEnd::Stopped:
            return BlockResult::Stopped;
        case AckWaitEnd::TimedOut:
            break;
    }
    report_.appendStatus(QStringLiteral("Timed out waiting for ack packet..."));
    std::optional<bool> driveHasIt = askWhetherDriveHasBlock();
    if (stopping()) {
        return BlockResult::Stopped;
    }
    if (!driveHasIt) {
        return BlockResult::NoCountReply;
    }
    for (int resend = 1; resend <= MaxResends; ++resend) {
        // The first resend follows the query just made; each later one asks
        // again, since the resend before it may have arrived unacknowledged.
        if (resend > 1) {
            driveHasIt = askWhetherDriveHasBlock();
            if (stopping()) {
                return BlockResult::Stopped;
            }
        }
        if (driveHasIt.value_or(false)) {
            return ackDropped();
        }
        if (udp_.AckReceived) {
            return blockDelivered();
        }
        report_.appendStatus(QStringLiteral("Outbound packet dropped. Re-sending last packet..."));
        SendDataPacket(block, lastIndex);
        switch (waitForAck(now() + AckWait, false)) {
            case AckWaitEnd::Acked:
                return blockDelivered();
            case AckWaitEnd::Stopped:
                return BlockResult::Stopped;
            default:
                break;
        }
    }
    return BlockResult::NoAck;
}

EthernetBlockSender::AckWaitEnd EthernetBlockSender::waitForAck(double deadline, bool readText) {
    for (;;) {
        if (stopping()) {
            return AckWaitEnd::Stopped;
        }
        if (udp_.AckReceived) {
            return AckWaitEnd::Acked;
        }
        if (now() >= deadline) {
            return AckWaitEnd::TimedOut;
        }
        waits_.pump().waitForEvents(deadline);
        if (readText && readRingText()) {
            return AckWaitEnd::DriveError;
        }
    }
}

std::optional<int> EthernetBlockSender::askDriveCount(int queries) {
    // The first answer is given 100 ms, every later one 300 ms.
    for (int query = 0; query < queries && !stopping(); ++query) {
        RequestPacketCount();
        waits_.WaitMs(query == 0 ? 100 : 300);
        if (udp_.DriveRxCount != -1) {
            return udp_.DriveRxCount;
        }
    }
    return std::nullopt;
}

std::optional<bool> EthernetBlockSender::askWhetherDriveHasBlock() {
    const std::optional<int> count = askDriveCount(2);
    if (!count) {
        return std::nullopt;
    }
    return driveHasBlock(*count, download_.BlocksDelivered);
}

BlockResult EthernetBlockSender::blockDelivered() {
    ++download_.BlocksDelivered;
    return BlockResult::Delivered;
}

BlockResult EthernetBlockSender::ackDropped() {
    report_.appendStatus(
        QStringLiteral("Inbound packet acknowledge dropped. Continuing with next packet..."));
    return blockDelivered();
}

bool EthernetBlockSender::readRingText() {
    while (udp_.UdpRingRead != udp_.UdpRingWrite) {
        if (text_.act(NextRingByte())) {
            return true;
        }
    }
    return false;
}

}  // namespace kestrel
