#include "DriveLink.h"

#include "platform/SerialSettings.h"

namespace kestrel::drivesim {

namespace {

int bitRateOf(const QString& settings) {
    const auto line = parseLineSettings(settings);
    return line ? line->baudRate : 0;
}

}  // namespace

DriveLink::DriveLink(HostScheduler& time, SimulatedSerialPort& serial, SimulatedUdpSocket& udp,
                     DriveOptions options)
    : serial_(serial), udp_(udp), drive_(time, *this, std::move(options)) {
    serial_.setPeer(this);
    udp_.setPeer(this);
    if (serial_.isOpen()) {
        hostSettingsChanged(serial_.settings());
    }
}

DriveLink::~DriveLink() {
    serial_.setPeer(nullptr);
    udp_.setPeer(nullptr);
}

void DriveLink::hostSettingsChanged(const QString& settings) {
    drive_.hostBitRateChanged(bitRateOf(settings));
}

void DriveLink::hostBytesWritten(const QByteArray& bytes, const QString& settings) {
    drive_.hostSerialBytes(bytes, bitRateOf(settings));
}

void DriveLink::hostDatagram(const QByteArray& datagram, const QString& host, quint16 port) {
    // Like a real drive, it hears only what is sent to its own address and port.
    if (host == address() && port == drive_.options().udpPort) {
        drive_.hostDatagram(datagram, {host, port});
    }
}

}  // namespace kestrel::drivesim
