#pragma once

#include <QString>
#include <optional>

#include "Scheduler.h"
#include "SimulatedDrive.h"
#include "SimulatedSerialPort.h"
#include "SimulatedUdpSocket.h"

namespace kestrel::drivesim {

// The simulated drive at the other end of an in-memory serial port and UDP
// socket, on their clock: what the host writes reaches the drive one
// character time apart, and the drive's bytes reach the host's port one
// character time apart at the drive's bit rate; its datagrams come from its
// own address. The component tests run it on simulated time, kestrel-flash
// --simulate on the real clock.
class DriveLink : public SerialPeer, public UdpPeer, DriveTransport {
  public:
    DriveLink(HostScheduler& time, SimulatedSerialPort& serial, SimulatedUdpSocket& udp,
              DriveOptions options = {});
    ~DriveLink() override;
    DriveLink(const DriveLink&) = delete;
    DriveLink& operator=(const DriveLink&) = delete;

    // The drive is switched on (again) and sends its power-up packet.
    void powerUp() { drive_.powerUp(); }
    // The drive sends these bytes as text on the serial line.
    void sendSerial(const QByteArray& bytes) { drive_.sendSerial(bytes); }

    SimulatedDrive& drive() { return drive_; }
    QString transcriptText() const { return drive_.transcriptText(); }
    std::optional<Verdict> lastVerdict() const { return drive_.lastVerdict(); }
    // The address the drive answers from and the host must send to.
    QString address() const { return drive_.options().ipAddress; }

    void hostBytesWritten(const QByteArray& bytes, const QString& settings) override;
    void hostSettingsChanged(const QString& settings) override;
    void hostDatagram(const QByteArray& datagram, const QString& host, quint16 port) override;

  private:
    void deliverSerialByte(char byte) override { serial_.receiveFromDrive(QByteArray(1, byte)); }
    void deliverDatagram(const QByteArray& datagram, const Endpoint&) override {
        udp_.receiveFromNetwork(datagram, address());
    }

    SimulatedSerialPort& serial_;
    SimulatedUdpSocket& udp_;
    SimulatedDrive drive_;
};

}  // namespace kestrel::drivesim
