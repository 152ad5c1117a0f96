#pragma once

#include "platform/EventPump.h"
#include "platform/MessageBoxes.h"
#include "platform/UdpSocket.h"
#include "platform/Waits.h"
#include "platform/WindowView.h"
#include "state/UdpState.h"

namespace kestrel {

// The drive's address in txtIP: its check, the caption that shows it, the
// switch to the Ethernet link and the Ping query.
class DriveAddress {
  public:
    DriveAddress(UdpSocket& socket, Waits& waits, MessageBoxes& messages, WindowView& view,
                 UdpState& state)
        : socket_(socket), waits_(waits), messages_(messages), view_(view), state_(state) {}

    void txtIP_LostFocus();
    void ShowIPTitleBar();
    void optEthernet_Click();
    void Ping_Click();

  private:
    UdpSocket& socket_;
    Waits& waits_;
    MessageBoxes& messages_;
    WindowView& view_;
    UdpState& state_;
};

}  // namespace kestrel
