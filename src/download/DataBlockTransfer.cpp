#include "DataBlockTransfer.h"

#include <algorithm>

#include "ethernet/Datagram.h"
#include "platform/ByteBuffer.h"

namespace kestrel {

namespace {

QByteArrayView firstElements(QByteArrayView data, int lastIndex) {
    return data.first(std::clamp<qsizetype>(qsizetype{lastIndex} + 1, 0, data.size()));
}

const QString kSendTimedOut = QStringLiteral("Timed Out waiting to send Data");

}  // namespace

BlockResult DataBlockTransfer::SendDataBlock(QByteArrayView data, int lastIndex) {
    if (stopping()) {
        return BlockResult::Stopped;
    }
    const QByteArrayView block = firstElements(data, lastIndex);
    return choices_.link == Link::Ethernet ? sendEthernetBlock(block) : sendSerialBlock(block);
}

// ------------------------------------------------------------------ Ethernet

void DataBlockTransfer::SendDataPacket(QByteArrayView data, int lastIndex) {
    if (stopping()) {
        return;
    }
    sendDatagram(envelope(DatagramType::Data, firstElements(data, lastIndex)));
    ++download_.DataPacketsSent;
}

void DataBlockTransfer::SendStartPacket() {
    if (stopping()) {
        return;
    }
    download_.BlocksDelivered = 0;
    sendDatagram(envelope(DatagramType::Start));
}

void DataBlockTransfer::RequestPacketCount() {
    udp_.DriveRxCount = -1;
    if (!stopping()) {
        sendDatagram(envelope(DatagramType::PacketCount));
    }
}

void DataBlockTransfer::sendDatagram(const QByteArray& datagram) {
    QString error;
    if (!channel_.sendToDrive(datagram, &error)) {
        // Said once per datagram, so a technician can tell a refused send
        // from a drive that does not answer.
        report_.appendStatus(QStringLiteral("UDP send failed: %1\r\n")
                                 .arg(error.isEmpty() ? QStringLiteral("refused") : error));
    }
}

unsigned char DataBlockTransfer::NextRingByte() {
    int read = udp_.UdpRingRead;
    if (read < 0 || read >= UdpState::RingSize) {
        read = 0;
    }
    const unsigned char byte = udp_.UdpRing[static_cast<std::size_t>(read)];
    udp_.UdpRingRead = read == UdpState::RingSize - 1 ? 0 : read + 1;
    return byte;
}

BlockResult DataBlockTransfer::sendEthernetBlock(QByteArrayView block) {
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

DataBlockTransfer::AckWaitEnd DataBlockTransfer::waitForAck(double deadline, bool readText) {
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

std::optional<int> DataBlockTransfer::askDriveCount(int queries) {
    // The first answer is given 100 ms, every later one 300 ms.
    for (int query = 0; query < queries && !stopping(); ++query) {
        RequestPacketCount();
        WaitMs(query == 0 ? 100 : 300);
        if (udp_.DriveRxCount != -1) {
            return udp_.DriveRxCount;
        }
    }
    return std::nullopt;
}

std::optional<bool> DataBlockTransfer::askWhetherDriveHasBlock() {
    const std::optional<int> count = askDriveCount();
    if (!count) {
        return std::nullopt;
    }
    return driveHasBlock(*count, download_.BlocksDelivered);
}

BlockResult DataBlockTransfer::blockDelivered() {
    ++download_.BlocksDelivered;
    return BlockResult::Delivered;
}

BlockResult DataBlockTransfer::ackDropped() {
    report_.appendStatus(
        QStringLiteral("Inbound packet acknowledge dropped. Continuing with next packet..."));
    return blockDelivered();
}

bool DataBlockTransfer::readRingText() {
    while (udp_.UdpRingRead != udp_.UdpRingWrite) {
        if (actOnDriveByte(NextRingByte())) {
            return true;
        }
    }
    return false;
}

// -------------------------------------------------------------------- serial

BlockResult DataBlockTransfer::sendSerialBlock(QByteArrayView block) {
    for (qsizetype i = 0; i < block.size();) {
        // Checked for every byte: a port closed by a nested event would
        // otherwise swallow the rest of the image unnoticed.
        if (!port_.isOpen()) {
            return BlockResult::PortNotOpen;
        }
        if (const BlockResult result = waitForOutputQueue(); result != BlockResult::Delivered) {
            return result;
        }
        if (readSerialInput()) {
            return BlockResult::DriveError;
        }
        waits_.pump().processPending();
        if (stopping()) {
            return BlockResult::Stopped;
        }
        if (download_.TransmitHold) {
            if (const BlockResult result = waitOutHold(); result != BlockResult::Delivered) {
                return result;
            }
            continue;
        }
        holdSince_.reset();
        port_.write(QByteArray(1, block[i]));
        ++i;
    }
    return port_.isOpen() ? BlockResult::Delivered : BlockResult::PortNotOpen;
}

BlockResult DataBlockTransfer::waitForOutputQueue() {
    const double start = now();
    while (port_.bytesQueuedForOutput() > 0) {
        if (stopping()) {
            return BlockResult::Stopped;
        }
        if (now() - start > OutputWait) {
            report_.appendStatus(kSendTimedOut);
            return BlockResult::SendTimeout;
        }
        port_.waitForOutputDrained(start + OutputWait - now());
        waits_.pump().processPending();
    }
    return BlockResult::Delivered;
}

bool DataBlockTransfer::readSerialInput() {
    if (port_.bytesWaiting() <= 0) {
        return false;
    }
    // Every byte counts, not only the first of what was read: an XOFF behind
    // a "." would otherwise be lost and the drive's buffer overrun.
    const QByteArray input = port_.read(0);
    for (qsizetype k = 0; k < input.size(); ++k) {
        if (actOnDriveByte(static_cast<unsigned char>(input[k]),
                           QByteArrayView(input).sliced(k + 1))) {
            return true;
        }
    }
    return false;
}

BlockResult DataBlockTransfer::waitOutHold() {
    if (!holdSince_) {
        holdSince_ = now();
    }
    const double deadline = *holdSince_ + HoldLimit;
    if (now() >= deadline) {
        report_.appendStatus(kSendTimedOut);
        return BlockResult::SendTimeout;
    }
    // Sleep in the event loop until the drive's next byte (or a click)
    // arrives; bytes already read into the port would raise no event.
    if (port_.bytesWaiting() <= 0) {
        waits_.pump().waitForEvents(deadline);
    }
    return stopping() ? BlockResult::Stopped : BlockResult::Delivered;
}

// --------------------------------------------------------------- drive text

bool DataBlockTransfer::actOnDriveByte(unsigned char byte, QByteArrayView rest) {
    switch (classifyDriveByte(byte)) {
        case DriveByte::HoldOn:
            if (!download_.TransmitHold || !holdSince_) {
                holdSince_ = now();
            }
            download_.TransmitHold = true;
            break;
        case DriveByte::HoldOff:
            download_.TransmitHold = false;
            holdSince_.reset();
            break;
        case DriveByte::Dot:
            download_.LastDotBlock = download_.BlockCount;
            break;
        case DriveByte::Ignored:
            break;
        case DriveByte::LineEnd:
            report_.appendStatus(QStringLiteral("\n\r"));
            break;
        case DriveByte::Error: {
            download_.TransmitHold = true;
            const QByteArray shown = QByteArray(1, 'E') + rest.toByteArray();
            report_.appendStatus(BytesToString(shown, 0, static_cast<int>(shown.size())));
            return true;
        }
        case DriveByte::Text:
            report_.appendStatus(QString(QChar(byte)));
            break;
    }
    return false;
}

}  // namespace kestrel
