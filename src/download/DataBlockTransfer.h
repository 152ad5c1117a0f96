#pragma once

#include <QByteArrayView>
#include <optional>

#include "DriveText.h"
#include "EthernetBlockSender.h"
#include "SerialBlockSender.h"
#include "state/Choices.h"

namespace kestrel {

// Moves one block of the image to the drive over the link chosen: the one
// seam between the download and the two links. The drive's text during the
// transfer is handled the same way on both.
class DataBlockTransfer {
  public:
    DataBlockTransfer(SerialPort& port, UdpChannel& channel, Waits& waits, Reporter& report,
                      const Choices& choices, DownloadState& download, UdpState& udp)
        : waits_(waits),
          choices_(choices),
          text_(report, download),
          serial_(port, waits, report, download, text_),
          ethernet_(channel, waits, report, download, udp, text_) {}

    // Sends data[0..lastIndex].
    BlockResult SendDataBlock(QByteArrayView data, int lastIndex);

    // The Ethernet link's own datagrams, for the download sequence.
    void SendDataPacket(QByteArrayView data, int lastIndex) {
        ethernet_.SendDataPacket(data, lastIndex);
    }
    void SendStartPacket() { ethernet_.SendStartPacket(); }
    void RequestPacketCount() { ethernet_.RequestPacketCount(); }
    std::optional<int> askDriveCount(int queries = 2) { return ethernet_.askDriveCount(queries); }
    unsigned char NextRingByte() { return ethernet_.NextRingByte(); }
    void WaitMs(double ms) { waits_.WaitMs(ms); }

  private:
    Waits& waits_;
    const Choices& choices_;
    DriveText text_;
    SerialBlockSender serial_;
    EthernetBlockSender ethernet_;
};

}  // namespace kestrel
