#include "SimulatedDriveLink.h"

#include "platform/SerialSettings.h"

namespace kestrel::testing {

SimulatedDriveLink::SimulatedDriveLink(TestPlatform& platform, drivesim::DriveOptions options)
    : platform_(platform), drive_(*this, *this, std::move(options)) {
    platform_.serial.setPeer(this);
    platform_.udp.setPeer(this);
    if (platform_.serial.isOpen()) {
        hostSettingsChanged(platform_.serial.settings());
    }
}

SimulatedDriveLink::~SimulatedDriveLink() {
    platform_.serial.setPeer(nullptr);
    platform_.udp.setPeer(nullptr);
}

namespace {
int bitRateOf(const QString& settings) {
    const auto line = parseLineSettings(settings);
    return line ? line->baudRate : 0;
}
}  // namespace

void SimulatedDriveLink::hostSettingsChanged(const QString& settings) {
    drive_.hostBitRateChanged(bitRateOf(settings));
}

void SimulatedDriveLink::hostBytesWritten(const QByteArray& bytes, const QString& settings) {
    drive_.hostSerialBytes(bytes, bitRateOf(settings));
}

void SimulatedDriveLink::hostDatagram(const QByteArray& datagram, const QString& host,
                                      quint16 port) {
    // Like a real drive, it hears only what is sent to its own address and port.
    if (host == address() && port == drive_.options().udpPort) {
        drive_.hostDatagram(datagram, {host, port});
    }
}

}  // namespace kestrel::testing
