#pragma once

#include <QByteArrayView>

#include "report/Reporter.h"
#include "state/DownloadState.h"

namespace kestrel {

// What the drive sends while it takes the image, over either link: XOFF and
// XON pace the serial sender, "." marks progress, "E" ends the transfer, and
// the rest is shown in the status log.
class DriveText {
  public:
    DriveText(Reporter& report, DownloadState& download) : report_(report), download_(download) {}

    // Acts on one byte; true for "E". `rest` is what followed it in the same
    // read, shown with the "E".
    bool act(unsigned char byte, QByteArrayView rest = {});

  private:
    Reporter& report_;
    DownloadState& download_;
};

}  // namespace kestrel
