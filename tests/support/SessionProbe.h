#pragma once

#include "session/Session.h"

namespace kestrel {

// The engines inside a session, for tests that drive one of them directly
// (a single command, a single block) rather than through the session's verbs.
class SessionProbe {
  public:
    explicit SessionProbe(Session& session) : s_(session) {}
    UdpState& udpState() { return s_.udp_; }
    Waits& waits() { return s_.waits_; }
    SerialExchange& serialExchange() { return s_.serialExchange_; }
    UdpChannel& udpChannel() { return s_.udpChannel_; }
    DriveAddress& driveAddress() { return s_.driveAddress_; }
    DataBlockTransfer& dataBlockTransfer() { return s_.dataBlockTransfer_; }
    EnetIdentification& enetIdentification() { return s_.enetIdentification_; }
    // How the last download ended, also when it ran from a click that had to
    // wait for the serial receive handler (and so returned nothing).
    const DownloadOutcome& lastOutcome() { return s_.downloadSequence_.lastOutcome(); }

  private:
    Session& s_;
};

}  // namespace kestrel
