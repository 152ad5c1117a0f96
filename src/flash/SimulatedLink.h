#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

#include "DriveLink.h"
#include "QtScheduler.h"
#include "SimulatedSerialPort.h"
#include "SimulatedUdpSocket.h"

namespace kestrel::flash {

// kestrel-flash --simulate: a healthy drive (the engine kestrel-drive-sim
// runs) at the other end of an in-memory serial line and UDP socket, on the
// real clock, expecting the firmware file it is given. The line and the
// socket are the ones the component tests run on simulated time.
class SimulatedLink {
  public:
    SimulatedLink(const QString& address, const QByteArray& firmwareFile);
    SerialPort& serial() { return serial_; }
    UdpSocket& udp() { return udp_; }
    void powerUp() { drive_.powerUp(); }
    std::optional<drivesim::Verdict> verdict() const { return drive_.lastVerdict(); }

  private:
    static drivesim::DriveOptions optionsFor(const QString& address,
                                             const QByteArray& firmwareFile);

    drivesim::QtScheduler scheduler_;
    drivesim::SimulatedSerialPort serial_{scheduler_};
    drivesim::SimulatedUdpSocket udp_{scheduler_};
    drivesim::DriveLink drive_;
};

// A small firmware file for the simulated drive's model 55, one revision
// above its own; returns its contents.
QByteArray sampleFirmwareFile();

}  // namespace kestrel::flash
