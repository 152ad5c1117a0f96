#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

namespace kestrel {

// Every datagram to and from the drive starts with this 16-bit type, high
// byte first; the rest is the payload. One datagram is one message: there is
// no length, checksum or sequence number.
enum class DatagramType : quint16 {
    Reserved7 = 7,     // received: accepted, no effect
    Command = 8,       // sent: a drive command; received: its reply
    Text = 15,         // received: text from the drive for the ring
    PacketCount = 16,  // sent: count query; received: the drive's count of data packets
    Data = 17,         // sent: firmware data; received: its acknowledgement
    Start = 18,        // sent: start of an Ethernet download
    Reserved21 = 21,   // received: accepted, no effect
    DriveQuery = 99,   // sent: the Ping query; received: the drive's identity
};

// The type of a datagram, or nothing when it is too short to carry one.
std::optional<quint16> datagramType(QByteArrayView datagram);

// Only types 7 to 99 come from a drive; anything else (every datagram whose
// first byte is not 0) is somebody else's traffic.
constexpr bool isDriveType(quint16 type) {
    return type >= 7 && type <= 99;
}

QByteArray envelope(DatagramType type, QByteArrayView payload = {});

// A drive command: type 8, the command letter, how many reply bytes the
// sender expects, then the command's remaining characters, no terminator.
QByteArray commandDatagram(char letter, quint8 bytesBack, QByteArrayView following);

// The command characters after the letter in the form the command sender
// takes them: element 0 is a placeholder that is never sent.
QByteArray commandData(QByteArrayView command);

// "Who are you?": type 99 with one zero byte.
QByteArray driveQuery();

}  // namespace kestrel
