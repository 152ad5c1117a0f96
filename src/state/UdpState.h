#pragma once

#include <QByteArray>
#include <array>

namespace kestrel {

// What arriving datagrams leave for the Ethernet engines to read.
struct UdpState {
    static constexpr int RingSize = 201;

    QByteArray UDPReplyData;  // payload of the latest type-8 datagram
    std::array<unsigned char, RingSize> UdpRing{};
    int UdpRingRead = 0;
    int UdpRingWrite = 0;
    int DriveRxCount = -1;  // -1: no count reported since the last query
    bool AckReceived = false;
    int AckCount = 0;
    QByteArray PingReplyData;
};

}  // namespace kestrel
