#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

#include "TransferRules.h"
#include "ethernet/UdpChannel.h"
#include "platform/Reporter.h"
#include "platform/SerialPort.h"
#include "platform/Waits.h"
#include "state/DownloadState.h"
#include "state/UdpState.h"

namespace kestrel {

// Moves one block of the image to the drive over the link chosen in the
// window: on Ethernet as one acknowledged datagram with count queries and
// resends, on serial byte by byte under the drive's XON/XOFF. The drive's
// text during the transfer goes to the status log.
class DataBlockTransfer {
  public:
    static constexpr double AckWait = 5.0;  // seconds per send of a datagram
    static constexpr int MaxResends = 4;
    static constexpr double OutputWait = 5.0;  // serial: for the output queue to empty
    static constexpr double HoldLimit = 10.0;  // serial: longest XOFF hold

    DataBlockTransfer(SerialPort& port, UdpChannel& channel, Waits& waits, Reporter& report,
                      const Choices& choices, DownloadState& download, UdpState& udp)
        : port_(port),
          channel_(channel),
          waits_(waits),
          report_(report),
          choices_(choices),
          download_(download),
          udp_(udp) {}

    // Sends data[0..lastIndex].
    BlockResult SendDataBlock(QByteArrayView data, int lastIndex);

    // One data datagram (type 17) with data[0..lastIndex]; counts it.
    void SendDataPacket(QByteArrayView data, int lastIndex);
    // The start of an Ethernet download: the drive restarts its count of
    // data datagrams, and so does the count of blocks it holds.
    void SendStartPacket();
    // Forgets the drive's last count and asks for a new one.
    void RequestPacketCount();
    // The drive's count of data datagrams, asked for `queries` times at the
    // most; nothing when it does not answer.
    std::optional<int> askDriveCount(int queries = 2);
    // The next byte of the drive's UDP text; the caller has seen that the
    // ring is not empty.
    unsigned char NextRingByte();
    void WaitMs(double ms) { waits_.WaitMs(ms); }

  private:
    enum class AckWaitEnd { Acked, TimedOut, DriveError, Stopped };

    BlockResult sendEthernetBlock(QByteArrayView block);
    AckWaitEnd waitForAck(double deadline, bool readText);
    std::optional<bool> askWhetherDriveHasBlock();
    BlockResult blockDelivered();
    BlockResult ackDropped();

    BlockResult sendSerialBlock(QByteArrayView block);
    BlockResult waitForOutputQueue();
    bool readSerialInput();
    BlockResult waitOutHold();

    // Acts on one byte of drive text; true for "E". `rest` is what followed
    // it in the same read, shown with an "E".
    bool actOnDriveByte(unsigned char byte, QByteArrayView rest = {});
    bool readRingText();
    void sendDatagram(const QByteArray& datagram);
    bool stopping() const { return waits_.stopRequested(); }
    double now() const { return waits_.clock().now(); }

    SerialPort& port_;
    UdpChannel& channel_;
    Waits& waits_;
    Reporter& report_;
    const Choices& choices_;
    DownloadState& download_;
    UdpState& udp_;
    std::optional<double> holdSince_;  // when the drive's current XOFF hold began
};

}  // namespace kestrel
