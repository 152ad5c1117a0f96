#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

#include "DriveText.h"
#include "TransferRules.h"
#include "ethernet/UdpChannel.h"
#include "platform/Waits.h"
#include "state/UdpState.h"

namespace kestrel {

// A block over Ethernet: one data datagram, stop and wait. When no
// acknowledgement comes, the drive's own count of data datagrams tells a
// lost acknowledgement from a lost datagram, and only a lost datagram is
// sent again, four times at the most.
class EthernetBlockSender {
  public:
    static constexpr double AckWait = 5.0;  // seconds per send of a datagram
    static constexpr int MaxResends = 4;

    EthernetBlockSender(UdpChannel& channel, Waits& waits, Reporter& report,
                        DownloadState& download, UdpState& udp, DriveText& text)
        : channel_(channel),
          waits_(waits),
          report_(report),
          download_(download),
          udp_(udp),
          text_(text) {}

    BlockResult send(QByteArrayView block);

    // One data datagram (type 17) with data[0..lastIndex]; counts it.
    void SendDataPacket(QByteArrayView data, int lastIndex);
    // The start of an Ethernet download: the drive restarts its count of
    // data datagrams, and so does the count of blocks it holds.
    void SendStartPacket();
    // Forgets the drive's last count and asks for a new one.
    void RequestPacketCount();
    // The drive's count of data datagrams, asked for `queries` times at the
    // most; nothing when it does not answer.
    std::optional<int> askDriveCount(int queries);
    // The next byte of the drive's UDP text; the caller has seen that the
    // ring is not empty.
    unsigned char NextRingByte();

  private:
    enum class AckWaitEnd { Acked, TimedOut, DriveError, Stopped };

    AckWaitEnd waitForAck(double deadline, bool readText);
    std::optional<bool> askWhetherDriveHasBlock();
    BlockResult blockDelivered();
    BlockResult ackDropped();
    bool readRingText();
    void sendDatagram(const QByteArray& datagram);
    bool stopping() const { return waits_.stopRequested(); }
    double now() const { return waits_.clock().now(); }

    UdpChannel& channel_;
    Waits& waits_;
    Reporter& report_;
    DownloadState& download_;
    UdpState& udp_;
    DriveText& text_;
};

}  // namespace kestrel
