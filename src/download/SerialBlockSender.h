#pragma once

#include <QByteArrayView>
#include <optional>

#include "DriveText.h"
#include "TransferRules.h"
#include "platform/SerialPort.h"
#include "platform/Waits.h"

namespace kestrel {

// A block over the serial line: byte by byte, each once the port's output
// queue is empty, so that the drive's XOFF takes effect within a byte; an
// XOFF holds the sender until XON, for 10 s at the most. What "empty" means
// comes from the port's driver (OutputPolicy): a USB port may keep a few
// bytes queued, and an adapter that pauses on XOFF itself holds the line.
class SerialBlockSender {
  public:
    static constexpr double OutputWait = 5.0;  // for the output queue to empty
    static constexpr double HoldLimit = 10.0;  // longest XOFF hold

    SerialBlockSender(SerialPort& port, Waits& waits, Reporter& report, DownloadState& download,
                      DriveText& text)
        : port_(port), waits_(waits), report_(report), download_(download), text_(text) {}

    BlockResult send(QByteArrayView block);

  private:
    BlockResult waitForOutputQueue();
    bool readInput();
    BlockResult waitOutHold();
    bool stopping() const { return waits_.stopRequested(); }
    double now() const { return waits_.clock().now(); }

    SerialPort& port_;
    Waits& waits_;
    Reporter& report_;
    DownloadState& download_;
    DriveText& text_;
    std::optional<double> holdSince_;  // when the drive's current XOFF hold began
};

}  // namespace kestrel
