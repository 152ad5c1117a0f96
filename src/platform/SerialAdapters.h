#pragma once

#include <QList>
#include <QString>
#include <functional>

namespace kestrel {

// What sysfs and /dev/serial/by-id tell of a serial device: enough to tell two
// USB adapters apart and to find one again wherever it is plugged in. Fields
// are empty where the system does not say (a built-in UART has no USB ids).
struct SerialAdapter {
    QString device;        // /dev/ttyUSB0
    QString byId;          // /dev/serial/by-id/usb-FTDI_..._A10K3XQZ-if00-port0
    QString driver;        // the kernel driver, e.g. ftdi_sio
    QString vendorId;      // USB ids as sysfs writes them: 0403
    QString productId;     // 6001
    QString manufacturer;  // FTDI
    QString product;       // FT232R USB UART
    QString serialNumber;  // A10K3XQZ

    bool isUsb() const { return !vendorId.isEmpty(); }
};

// The serial devices under `sysRoot`/class/tty that sit on a USB device (USB
// serial adapters, CDC-ACM), sorted by name, each described as below.
QList<SerialAdapter> usbSerialAdapters(const QString& sysRoot, const QString& devRoot);

// /dev/`ttyName` as sysfs (`sysRoot`, normally /sys) and `devRoot` (normally
// /dev) describe it.
SerialAdapter describeSerialDevice(const QString& sysRoot, const QString& devRoot,
                                   const QString& ttyName);

// A port named "usb:SERIAL" stands for the one USB adapter with that serial
// number; any other name is a path and is taken as it is.
struct PortName {
    QString device;  // the device to open; empty when `error` says why not
    QString error;
};
PortName resolvePortName(const QString& name, const QString& sysRoot, const QString& devRoot);

// Where sysfs and /dev are: /sys and /dev, unless KESTREL_SYSFS_ROOT and
// KESTREL_DEV_ROOT point elsewhere (a made-up tree, for tests and examples of
// adapters this machine does not have).
QString sysfsRoot();
QString devRoot();

// Asks the driver of a real serial device for low latency (`askLowLatency`:
// the serial driver's ASYNC_LOW_LATENCY flag, which a user may set). An FTDI
// adapter holds received bytes up to its latency timer (16 ms by default,
// about 180 bytes at 115200 bit/s), so the drive's XOFF would reach the host
// that late; ftdi_sio turns the flag into a 1 ms timer. Returns a status line
// when the timer is still above 1 ms afterwards, with how to lower it; empty
// otherwise (other drivers have no such timer to report).
QString lowLatencyNotice(const QString& sysRoot, const QString& ttyName,
                         const std::function<bool()>& askLowLatency);

}  // namespace kestrel
