#include "DriveAddress.h"

namespace kestrel {

// The Ethernet link's address handling arrives with its own step of the work.
void DriveAddress::txtIP_LostFocus() {}
void DriveAddress::ShowIPTitleBar() {}
void DriveAddress::optEthernet_Click() {}
void DriveAddress::Ping_Click() {}

}  // namespace kestrel
