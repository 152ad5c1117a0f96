#pragma once

#include <QByteArray>
#include <array>

namespace kestrel {

// What arriving datagrams leave for the Ethernet engines to read. The
// receive dispatcher writes every field but UdpRingRead; the download resets
// the indexes and counters at its start.
struct UdpState {
    static constexpr int RingSize = 201;

    // Payload of the latest type-8 datagram; a command resets it to one
    // placeholder byte before it waits for the reply.
    QByteArray UDPReplyData;
    // Text from the drive. Empty when both indexes are equal: the writer
    // never looks at the read index, so an overrun loses the oldest bytes.
    std::array<unsigned char, RingSize> UdpRing{};
    int UdpRingRead = 0;
    int UdpRingWrite = 0;
    int DriveRxCount = -1;  // -1: no count reported since the last query
    bool AckReceived = false;
    int AckCount = 0;
    // Payload of the latest type-99 datagram; Ping empties it before asking.
    QByteArray PingReplyData;
};

}  // namespace kestrel
