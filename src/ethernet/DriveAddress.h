#pragma once

#include "UdpChannel.h"
#include "platform/EventPump.h"
#include "platform/Waits.h"
#include "report/Reporter.h"
#include "state/UdpState.h"

namespace kestrel {

// What Ping found: the drive's answer (its build number, and its MAC when
// long enough), or why there is none.
struct PingResult {
    enum class End { Answered, NoAnswer, InvalidAddress, NotSent };
    End end = End::NoAnswer;
    QByteArray answer;  // the type-99 payload; 4 bytes or more when Answered
    QString message;    // the message shown
};

// The drive's address in txtIP: its check, the caption that shows it, the
// switch to the Ethernet link and the Ping query.
class DriveAddress {
  public:
    DriveAddress(UdpChannel& channel, Waits& waits, Reporter& report, Choices& choices,
                 UdpState& state)
        : channel_(channel), waits_(waits), report_(report), choices_(choices), state_(state) {}

    void txtIP_LostFocus();
    void ShowIPTitleBar();
    void optEthernet_Click();
    // Selects the Ethernet link as code does: the click follows only when
    // the link changes.
    void selectEthernet();
    // Asks the drive who it is and shows what it answered.
    PingResult Ping_Click();

  private:
    PingResult askDrive();

    UdpChannel& channel_;
    Waits& waits_;
    Reporter& report_;
    Choices& choices_;
    UdpState& state_;
};

}  // namespace kestrel
