#include "SerialAdapters.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace kestrel {

namespace {

// A USB serial port's tty device sits one or two levels below its USB device
// (the interface, and for usb-serial the port); the USB device holds the ids.
constexpr int kLevelsToUsbDevice = 4;

QString attribute(const QString& folder, const QString& name) {
    QFile file(folder + QLatin1Char('/') + name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

// The kernel driver of a tty's device folder: the last element of its
// `driver` link; empty for a device sysfs does not know (a pseudo-terminal).
QString driverOf(const QString& ttyDevice) {
    return QFileInfo(QFileInfo(ttyDevice + QStringLiteral("/driver")).canonicalFilePath())
        .fileName();
}

QString usbDeviceFolder(const QString& ttyDevice) {
    QString folder = QFileInfo(ttyDevice).canonicalFilePath();
    for (int level = 0; level < kLevelsToUsbDevice && !folder.isEmpty(); ++level) {
        if (QFileInfo::exists(folder + QStringLiteral("/idVendor"))) {
            return folder;
        }
        folder = QFileInfo(folder).path();
    }
    return QString();
}

QString byIdName(const QString& devRoot, const QString& device) {
    const QDir byId(devRoot + QStringLiteral("/serial/by-id"));
    const QString target = QFileInfo(device).canonicalFilePath();
    for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files, QDir::Name)) {
        if (!target.isEmpty() && link.canonicalFilePath() == target) {
            return link.absoluteFilePath();
        }
    }
    return QString();
}

}  // namespace

QString sysfsRoot() {
    return qEnvironmentVariable("KESTREL_SYSFS_ROOT", QStringLiteral("/sys"));
}

QString devRoot() {
    return qEnvironmentVariable("KESTREL_DEV_ROOT", QStringLiteral("/dev"));
}

SerialAdapter describeSerialDevice(const QString& sysRoot, const QString& devRoot,
                                   const QString& ttyName) {
    SerialAdapter a;
    a.device = devRoot + QLatin1Char('/') + ttyName;
    const QString tty =
        sysRoot + QStringLiteral("/class/tty/") + ttyName + QStringLiteral("/device");
    a.driver = driverOf(tty);
    a.byId = byIdName(devRoot, a.device);
    const QString usb = usbDeviceFolder(tty);
    if (!usb.isEmpty()) {
        a.vendorId = attribute(usb, QStringLiteral("idVendor"));
        a.productId = attribute(usb, QStringLiteral("idProduct"));
        a.manufacturer = attribute(usb, QStringLiteral("manufacturer"));
        a.product = attribute(usb, QStringLiteral("product"));
        a.serialNumber = attribute(usb, QStringLiteral("serial"));
    }
    return a;
}

QList<SerialAdapter> usbSerialAdapters(const QString& sysRoot, const QString& devRoot) {
    QList<SerialAdapter> found;
    const QDir ttys(sysRoot + QStringLiteral("/class/tty"));
    for (const QString& name :
         ttys.entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name)) {
        const SerialAdapter a = describeSerialDevice(sysRoot, devRoot, name);
        if (a.isUsb()) {
            found << a;
        }
    }
    return found;
}

PortName resolvePortName(const QString& name, const QString& sysRoot, const QString& devRoot) {
    if (!name.startsWith(QLatin1String("usb:"))) {
        return {name, {}};
    }
    const QString serial = name.mid(4);
    QStringList matches;
    for (const SerialAdapter& a : usbSerialAdapters(sysRoot, devRoot)) {
        if (!serial.isEmpty() && a.serialNumber == serial) {
            matches << a.device;
        }
    }
    if (matches.size() == 1) {
        return {matches.first(), {}};
    }
    if (matches.isEmpty()) {
        return {{},
                QStringLiteral("no USB serial adapter has the serial number \"%1\"; "
                               "--list-ports shows those plugged in")
                    .arg(serial)};
    }
    // Two adapters of one batch may share a serial number (some makers give
    // all the same one): taking either could flash the wrong drive.
    return {{},
            QStringLiteral("%1 USB serial adapters have the serial number \"%2\" (%3): "
                           "name the device instead")
                .arg(matches.size())
                .arg(serial, matches.join(QStringLiteral(", ")))};
}

QString lowLatencyNotice(const QString& sysRoot, const QString& ttyName,
                         const std::function<bool()>& askLowLatency) {
    const QString device =
        sysRoot + QStringLiteral("/class/tty/") + ttyName + QStringLiteral("/device");
    const QString driver = driverOf(device);
    if (driver.isEmpty()) {
        return QString();  // a pseudo-terminal: no driver to ask, nothing held back
    }
    // Harmless where a driver makes nothing of it; only ftdi_sio is known to
    // hold bytes for a timer that the flag shortens.
    askLowLatency();
    if (driver != QLatin1String("ftdi_sio")) {
        return QString();
    }
    const QString timer = attribute(device, QStringLiteral("latency_timer"));
    if (timer.isEmpty() || timer.toInt() <= 1) {
        return QString();
    }
    return QStringLiteral(
               "The FTDI adapter on /dev/%1 holds received bytes up to %2 ms (its "
               "latency timer), so the drive's XOFF may arrive late. To lower it: "
               "echo 1 | sudo tee /sys/bus/usb-serial/devices/%1/latency_timer")
        .arg(ttyName, timer);
}

}  // namespace kestrel
