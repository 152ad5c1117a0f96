#pragma once

#include <QObject>
#include <deque>
#include <optional>

#include "QtScheduler.h"
#include "SimulatedDrive.h"
#include "platform/SerialPort.h"
#include "platform/UdpSocket.h"

namespace kestrel::flash {

// MSComm1 wired to the simulated drive in memory: written bytes leave one
// character time apart at the line's bit rate, the drive's bytes raise a
// receive notice that the event loop delivers.
class SimulatedSerialPort final : public SerialPort {
  public:
    explicit SimulatedSerialPort(drivesim::QtScheduler& scheduler) : scheduler_(scheduler) {}
    void setDrive(drivesim::SimulatedDrive* drive) { drive_ = drive; }
    void receiveFromDrive(char byte);

    int open(int portNumber, const QString& settings, int handshaking) override;
    void close() override;
    bool isOpen() const override { return open_; }
    int portNumber() const override { return portNumber_; }
    QString settings() const override { return settings_; }
    bool setSettings(const QString& settings) override;
    void setHandshaking(int) override {}
    void setBreak(bool) override {}
    QByteArray read(int maxBytes) override;
    void write(const QByteArray& bytes) override;
    int bytesWaiting() override { return static_cast<int>(input_.size()); }
    void waitForBytes(double seconds) override;
    int bytesQueuedForOutput() override { return queued_; }
    void waitForOutputDrained(double seconds) override;
    int lastEvent() const override { return lastEvent_; }
    void setReceiveHandler(std::function<void()> handler) override {
        handler_ = std::move(handler);
    }

  private:
    int bitRate() const;

    drivesim::QtScheduler& scheduler_;
    drivesim::SimulatedDrive* drive_ = nullptr;
    QObject notices_;
    bool open_ = false;
    int portNumber_ = 0;
    QString settings_;
    QByteArray input_;
    int queued_ = 0;
    double lineFreeAt_ = 0.0;
    int generation_ = 0;  // bytes still on their way are lost with a closed port
    int lastEvent_ = CommEvent::None;
    bool noticePending_ = false;
    std::function<void()> handler_;
};

// Winsock1 wired to the simulated drive in memory; the drive hears only what
// is sent to its own address and port.
class SimulatedUdpSocket final : public UdpSocket {
  public:
    SimulatedUdpSocket(drivesim::QtScheduler& scheduler, QString driveAddress)
        : scheduler_(scheduler), driveAddress_(std::move(driveAddress)) {}
    void setDrive(drivesim::SimulatedDrive* drive) { drive_ = drive; }
    void receiveFromDrive(const QByteArray& datagram);

    UdpBindResult bind(quint16) override { return {}; }
    void setRemoteHost(const QString& host) override { remoteHost_ = host; }
    QString remoteHost() const override { return remoteHost_; }
    void setRemotePort(quint16 port) override { remotePort_ = port; }
    quint16 remotePort() const override { return remotePort_; }
    bool send(const QByteArray& datagram, QString* error) override;
    bool hasPendingDatagram() override { return !inbox_.empty(); }
    ReceivedDatagram readDatagram() override;
    void setArrivalHandler(std::function<void()> handler) override {
        handler_ = std::move(handler);
    }

  private:
    drivesim::QtScheduler& scheduler_;
    QString driveAddress_;
    drivesim::SimulatedDrive* drive_ = nullptr;
    QObject notices_;
    QString remoteHost_;
    quint16 remotePort_ = 0;
    std::deque<QByteArray> inbox_;
    std::function<void()> handler_;
};

// kestrel-flash --simulate: a healthy drive (the engine kestrel-drive-sim
// runs) at the other end of an in-memory serial line and UDP socket, expecting
// the firmware file it is given.
class SimulatedLink final : public drivesim::DriveTransport {
  public:
    SimulatedLink(const QString& address, const QByteArray& firmwareFile);
    SerialPort& serial() { return serial_; }
    UdpSocket& udp() { return udp_; }
    void powerUp() { drive_.powerUp(); }
    std::optional<drivesim::Verdict> verdict() const { return drive_.lastVerdict(); }

    void deliverSerialByte(char byte) override { serial_.receiveFromDrive(byte); }
    void deliverDatagram(const QByteArray& datagram, const drivesim::Endpoint&) override {
        udp_.receiveFromDrive(datagram);
    }

  private:
    static drivesim::DriveOptions optionsFor(const QString& address,
                                             const QByteArray& firmwareFile);

    drivesim::QtScheduler scheduler_;
    SimulatedSerialPort serial_;
    SimulatedUdpSocket udp_;
    drivesim::SimulatedDrive drive_;
};

// A small firmware file for the simulated drive's model 55, one revision
// above its own; returns its contents.
QByteArray sampleFirmwareFile();

}  // namespace kestrel::flash
