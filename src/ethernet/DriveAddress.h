#pragma once

#include "platform/EventPump.h"
#include "platform/Reporter.h"
#include "platform/UdpSocket.h"
#include "platform/Waits.h"
#include "state/UdpState.h"

namespace kestrel {

// The drive's address in txtIP: its check, the caption that shows it, the
// switch to the Ethernet link and the Ping query.
class DriveAddress {
  public:
    DriveAddress(UdpSocket& socket, Waits& waits, Reporter& report, UdpState& state)
        : socket_(socket), waits_(waits), report_(report), state_(state) {}

    void txtIP_LostFocus();
    void ShowIPTitleBar();
    void optEthernet_Click();
    // Selects the Ethernet link as code does: the click follows only when
    // the link changes.
    void selectEthernet();
    void Ping_Click();

  private:
    UdpSocket& socket_;
    Waits& waits_;
    Reporter& report_;
    UdpState& state_;
};

}  // namespace kestrel
