#pragma once

#include "Doubles.h"
#include "DriveLink.h"

namespace kestrel::testing {

// The simulated drive attached to a TestPlatform's serial port and UDP socket,
// on the platform's simulated time (the same link kestrel-flash --simulate
// runs on the real clock).
class SimulatedDriveLink final : public drivesim::DriveLink {
  public:
    explicit SimulatedDriveLink(TestPlatform& platform, drivesim::DriveOptions options = {})
        : DriveLink(platform.time, platform.serial, platform.udp, std::move(options)) {}
};

}  // namespace kestrel::testing
