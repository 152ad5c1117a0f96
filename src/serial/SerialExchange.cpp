#include "SerialExchange.h"

namespace kestrel {

void SerialExchange::InitSerialComm() {
    serial_.CommandBusy = false;
    serial_.PacketInProgress = false;
}

// The command exchange and the drive's packets arrive with the next step of
// the work; until then the receive handler has nothing to do.
bool SerialExchange::SendCommand(bool /*WaitReply*/) { return true; }

void SerialExchange::ReceiveCommBytes() {}

void SerialExchange::MSComm1_OnComm() {}

void SerialExchange::ShowPowerupDrive() {}

}  // namespace kestrel
