#pragma once

#include <QString>
#include <optional>

#include "Doubles.h"
#include "SimulatedDrive.h"

namespace kestrel::testing {

// The simulated drive attached to a TestPlatform's serial port and UDP socket,
// on the platform's simulated time: what the host writes reaches the drive one
// character time apart, and the drive's bytes reach the host's port one
// character time apart at the drive's bit rate; its datagrams come from its
// own address. The same protocol engine runs in `kestrel-drive-sim`.
class SimulatedDriveLink final : public SerialPeer,
                                 public UdpPeer,
                                 drivesim::Scheduler,
                                 drivesim::DriveTransport {
  public:
    explicit SimulatedDriveLink(TestPlatform& platform, drivesim::DriveOptions options = {});
    ~SimulatedDriveLink() override;
    SimulatedDriveLink(const SimulatedDriveLink&) = delete;
    SimulatedDriveLink& operator=(const SimulatedDriveLink&) = delete;

    // The drive is switched on (again) and sends its power-up packet.
    void powerUp() { drive_.powerUp(); }
    // The drive sends these bytes as text on the serial line.
    void sendSerial(const QByteArray& bytes) { drive_.sendSerial(bytes); }

    drivesim::SimulatedDrive& drive() { return drive_; }
    QString transcriptText() const { return drive_.transcriptText(); }
    std::optional<drivesim::Verdict> lastVerdict() const { return drive_.lastVerdict(); }
    // The address the drive answers from and the host must send to.
    QString address() const { return drive_.options().ipAddress; }

    void hostBytesWritten(const QByteArray& bytes, const QString& settings) override;
    void hostSettingsChanged(const QString& settings) override;
    void hostDatagram(const QByteArray& datagram, const QString& host, quint16 port) override;

  private:
    double now() const override { return platform_.time.now(); }
    void at(double time, std::function<void()> action) override {
        platform_.time.at(time, std::move(action));
    }
    void deliverSerialByte(char byte) override {
        platform_.serial.receiveFromDrive(QByteArray(1, byte));
    }
    void deliverDatagram(const QByteArray& datagram, const drivesim::Endpoint&) override {
        platform_.udp.receiveFromNetwork(datagram, address());
    }

    TestPlatform& platform_;
    drivesim::SimulatedDrive drive_;
};

}  // namespace kestrel::testing
