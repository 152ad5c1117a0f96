#include "SerialExchange.h"

#include <QScopeGuard>

#include "DrivePackets.h"
#include "drive/DriveModels.h"

namespace kestrel {

namespace {

unsigned char byteAt(const QByteArray& bytes, qsizetype index) {
    return static_cast<unsigned char>(bytes.at(index));
}

}  // namespace

void SerialExchange::InitSerialComm() {
    serial_.CommandBusy = false;
    serial_.PacketInProgress = false;
    serial_.packetPending = false;
}

bool SerialExchange::SendCommand(bool WaitReply) {
    serial_.CommandBusy = true;
    const auto release = qScopeGuard([this] { serial_.CommandBusy = false; });
    if (waits_.stopRequested()) {
        return false;  // the session is ending: the drive hears nothing more
    }
    if (!port_.isOpen()) {
        report_.showMessage(QStringLiteral("Comm Port Not Open"));
        // A reply cannot have come: an old RxBuffer must not pass for one.
        return !WaitReply;
    }
    const QByteArray line = serial_.CommandText.toLatin1() + CR;
    // Whatever the drive said before the command is no part of its reply.
    port_.read(0);
    serial_.RxBuffer.clear();
    serial_.packetPending = false;
    port_.write(line);
    report_.trace(QStringLiteral("> ") + serial_.CommandText);
    if (!WaitReply) {
        return true;
    }

    // The wait polls the port without pumping events: nothing else may touch
    // the port or the window while a reply is on its way.
    serial_.CommandStartTime = clock_.now();
    QByteArray reply;
    while (reply.isEmpty() || reply.back() != CR) {
        const QByteArray read = port_.read(1);
        reply += read;
        if (packetOverdue()) {
            report_.trace(QStringLiteral("< (no reply) ") + QString::fromLatin1(reply));
            report_.appendStatus(QStringLiteral("Comm Port Timeout sending command\r\n"));
            return false;
        }
        if (read.isEmpty()) {
            // Sleep on the port itself until the drive's next byte or the
            // time-out; nothing else is delivered meanwhile.
            port_.waitForBytes(serial_.CommandStartTime + DrivePacket::CompletionSeconds -
                               clock_.now());
        }
    }
    report_.trace(QStringLiteral("< ") + QString::fromLatin1(reply));
    if (!IsRejectedReply(reply)) {
        serial_.RxBuffer = reply;
    }
    return true;
}

void SerialExchange::ReceiveCommBytes() {
    collectBytes();
}

bool SerialExchange::packetOverdue() const {
    return clock_.now() - serial_.CommandStartTime > DrivePacket::CompletionSeconds;
}

void SerialExchange::startPacket(unsigned char marker, int& count, int& expected) {
    serial_.CommandStartTime = clock_.now();
    serial_.PacketInProgress = true;
    serial_.packetPending = false;
    serial_.RxBuffer = QByteArray(1, static_cast<char>(marker));
    count = 1;
    expected = DrivePacketLength(marker);
}

// Returns how many bytes it took from the port, so the receive handler can
// tell a pass that made progress from one that did not.
int SerialExchange::collectBytes() {
    if (serial_.CommandBusy) {
        return 0;
    }
    serial_.PacketInProgress = false;
    if (port_.lastEvent() != CommEvent::Receive) {
        return 0;
    }
    int taken = 0;
    int count = 0;
    int expected = 0;
    while (port_.bytesWaiting() > 0 || serial_.PacketInProgress) {
        const QByteArray read = port_.read(1);
        const bool gotByte = !read.isEmpty();
        const unsigned char byte = gotByte ? byteAt(read, 0) : 0;
        taken += gotByte ? 1 : 0;
        bool mayStartPacket = gotByte;

        if (gotByte && byte == CR && !serial_.PacketInProgress) {
            report_.appendStatus(StatusTextForByte(byte));
        } else if (gotByte && byte == LF) {
            // Dropped everywhere, even inside a packet, where it is not counted.
        } else if (serial_.PacketInProgress) {
            if (gotByte) {
                serial_.RxBuffer.append(read);
                if (++count == expected) {
                    serial_.PacketInProgress = false;
                    serial_.packetPending = true;
                    return taken;
                }
                // 0xFF is a data value inside a packet, never a new start.
                mayStartPacket = byte != DrivePacket::PowerUp;
            }
            if (packetOverdue()) {
                serial_.PacketInProgress = false;
                report_.appendStatus(QStringLiteral("Bad Powerup Packet\r\n"));
                serial_.RxBuffer.clear();
            }
        } else if (gotByte && byte < DrivePacket::FirstNonText) {
            serial_.RxBuffer.clear();
            serial_.packetPending = false;
            report_.appendStatus(StatusTextForByte(byte));
        }

        if (mayStartPacket && IsDrivePacketMarker(byte)) {
            startPacket(byte, count, expected);
        }
        if (gotByte || !serial_.PacketInProgress) {
            waits_.pump().processPending();
        } else {
            // The rest of the packet is late: sleep until a byte (or any
            // event) arrives or the packet's time is up, rather than spin.
            waits_.pump().waitForEvents(serial_.CommandStartTime + DrivePacket::CompletionSeconds);
        }
    }
    return taken;
}

void SerialExchange::MSComm1_OnComm() {
    if (port_.lastEvent() != CommEvent::Receive) {
        return;
    }
    // Only bytes actually waiting show that the drive is on the serial link;
    // the last event stays "receive" long after they were read, and Delay
    // polls here on every pass whichever link is in use.
    if (port_.bytesWaiting() > 0 && serialTraffic_) {
        serialTraffic_();
    }
    if (download_.Downloading || serial_.InOnComm) {
        return;
    }
    serial_.InOnComm = true;
    int taken = 0;
    do {
        taken = collectBytes();
        actOnPacket();
        // Bytes that came in while this handler waited after a packet found it
        // busy; their receive notice is spent, so they are handled here.
    } while (taken > 0 && moreToHandle());
    serial_.InOnComm = false;
}

bool SerialExchange::moreToHandle() {
    return !download_.Downloading && !serial_.CommandBusy &&
           port_.lastEvent() == CommEvent::Receive && port_.bytesWaiting() > 0;
}

void SerialExchange::actOnPacket() {
    if (!serial_.packetPending) {
        return;
    }
    serial_.packetPending = false;
    if (serial_.RxBuffer.isEmpty()) {
        return;
    }
    switch (byteAt(serial_.RxBuffer, 0)) {
        case DrivePacket::PowerUp:
            onPowerUpPacket();
            break;
        case DrivePacket::BootLoader:
            onBootLoaderPacket();
            break;
        case DrivePacket::OtherFamily:
            report_.showMessage(
                QStringLiteral("You must use Ortus Firmware downloader for this drive"));
            break;
        case DrivePacket::Revision:
            onRevisionPacket();
            break;
        default:
            break;
    }
}

void SerialExchange::onPowerUpPacket() {
    serial_.BootLoaderVersion = 0;
    if (serial_.RxBuffer.size() != DrivePacketLength(DrivePacket::PowerUp)) {
        return;
    }
    ShowPowerupDrive();
    if (drive_.DriveModelCode == 0) {
        report_.allowStartDownload(false);
        return;
    }
    if (download_.DownloadDone) {
        // The drive restarted after a transfer: acknowledge it, change nothing.
        serial_.CommandText = QStringLiteral("00");
        serial_.QTSent = false;
    } else {
        report_.allowStartDownload(true);
        serial_.CommandText = QStringLiteral("QT");
        report_.clearStatus();
        serial_.QTSent = true;
    }
    SendCommand(false);
    waits_.Delay(100);
}

void SerialExchange::onBootLoaderPacket() {
    if (serial_.RxBuffer.size() != DrivePacketLength(DrivePacket::BootLoader)) {
        return;
    }
    serial_.BootLoaderVersion = byteAt(serial_.RxBuffer, 3);
    if (byteAt(serial_.RxBuffer, 1) == 0xFF) {
        // The boot loader does not know the firmware's revision; show the
        // loaded file's instead.
        const BootLoaderStandIn standIn =
            bootLoaderStandIn(firmware_.FileRevNumber, firmware_.FileModelCode);
        serial_.RxBuffer = QByteArray(1, static_cast<char>(DrivePacket::BootLoader));
        serial_.RxBuffer.append(static_cast<char>(standIn.revision));
        serial_.RxBuffer.append(static_cast<char>(standIn.model));
    }
    report_.allowStartDownload(!download_.BootEntered);
    report_.clearStatus();
    ShowPowerupDrive();
    serial_.RxBuffer.clear();
    serial_.QTSent = false;
    waits_.Delay(100);
}

void SerialExchange::onRevisionPacket() {
    if (serial_.RxBuffer.size() >= 3) {
        serial_.DriveRevNumber = byteAt(serial_.RxBuffer, 1);
        serial_.RevSuffix = QString(QChar(byteAt(serial_.RxBuffer, 2)));
        report_.setDriveRevision(DriveRevisionText(serial_.DriveRevNumber) + serial_.RevSuffix);
    } else {
        report_.setDriveRevision(QStringLiteral("0.00"));
        serial_.DriveRevNumber = 0;
    }
    waits_.Delay(100);
}

void SerialExchange::ShowPowerupDrive() {
    const bool whole = serial_.RxBuffer.size() >= 3;
    if (whole) {
        serial_.DriveRevNumber = byteAt(serial_.RxBuffer, 1);
        report_.setDriveRevision(DriveRevisionText(serial_.DriveRevNumber) + serial_.RevSuffix);
        drive_.DriveModelCode = byteAt(serial_.RxBuffer, 2);
        DescribeDriveModel(drive_.DriveModelCode, report_, drive_);
    } else {
        report_.setDriveRevision(QStringLiteral("0.00"));
        serial_.DriveRevNumber = 0;
        report_.setDriveModel(QStringLiteral("Unknown"), QString());
        drive_.DriveModelCode = 0;
    }
}

}  // namespace kestrel
