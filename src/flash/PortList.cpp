#include "PortList.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QSerialPortInfo>

#include "platform/ComPorts.h"
#include "platform/SerialAdapters.h"
#include "platform/qt/QtSerialPort.h"
#include "serial/PortAccess.h"

namespace kestrel::flash {

namespace {

constexpr int kComPorts = 8;

QString accessText(PortAccess access) {
    switch (access) {
        case PortAccess::Usable:
            return QStringLiteral("you may open it");
        case PortAccess::Missing:
            return QStringLiteral("missing");
        case PortAccess::Denied:
            return QStringLiteral("permission denied");
    }
    return QString();
}

QString accessKey(PortAccess access) {
    switch (access) {
        case PortAccess::Usable:
            return QStringLiteral("usable");
        case PortAccess::Missing:
            return QStringLiteral("missing");
        case PortAccess::Denied:
            return QStringLiteral("denied");
    }
    return QString();
}

// The serial devices the system knows, and the USB adapters sysfs shows
// (the same, on a real machine), each once, with what sysfs says of it.
QList<SerialAdapter> serialDevices() {
    QList<SerialAdapter> devices;
    QStringList seen;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        SerialAdapter a = describeSerialDevice(sysfsRoot(), devRoot(), info.portName());
        a.device = info.systemLocation();
        a.manufacturer = a.manufacturer.isEmpty() ? info.manufacturer() : a.manufacturer;
        a.product = a.product.isEmpty() ? info.description() : a.product;
        devices << a;
        seen << info.portName();
    }
    for (const SerialAdapter& a : usbSerialAdapters(sysfsRoot(), devRoot())) {
        if (!seen.contains(QFileInfo(a.device).fileName())) {
            devices << a;
        }
    }
    return devices;
}

QString describe(const SerialAdapter& a) {
    QStringList parts;
    for (const QString& part : {a.product, a.manufacturer}) {
        if (!part.isEmpty() && !parts.contains(part)) {
            parts << part;
        }
    }
    return parts.join(QStringLiteral(", "));
}

// What tells two adapters apart, and the stable ways to name one.
QString adapterLines(const SerialAdapter& a) {
    QString lines;
    if (a.isUsb()) {
        lines += QStringLiteral("      usb %1:%2, serial number %3, driver %4\n")
                     .arg(a.vendorId, a.productId,
                          a.serialNumber.isEmpty() ? QStringLiteral("none") : a.serialNumber,
                          a.driver.isEmpty() ? QStringLiteral("unknown") : a.driver);
    } else if (!a.driver.isEmpty()) {
        lines += QStringLiteral("      driver %1\n").arg(a.driver);
    }
    if (!a.byId.isEmpty()) {
        lines += QStringLiteral("      %1\n").arg(a.byId);
    }
    if (!a.serialNumber.isEmpty()) {
        lines += QStringLiteral("      --port usb:%1\n").arg(a.serialNumber);
    }
    return lines;
}

}  // namespace

QString portAdvice(int comPort, const QString& mapped) {
    // A [Ports] entry may name an adapter by its serial number.
    const PortName name = resolvePortName(mapped, sysfsRoot(), devRoot());
    if (!name.error.isEmpty()) {
        return QStringLiteral("COM%1 (%2): %3").arg(comPort).arg(mapped, name.error);
    }
    const QString& device = name.device;
    const QString port = device == mapped
                             ? QStringLiteral("COM%1 (%2)").arg(comPort).arg(device)
                             : QStringLiteral("COM%1 (%2, %3)").arg(comPort).arg(mapped, device);
    switch (portAccess(device)) {
        case PortAccess::Missing:
            return QStringLiteral("%1 does not exist; --list-ports shows the devices found")
                .arg(port);
        case PortAccess::Denied:
            return QStringLiteral("you may not open %1: it belongs to the group \"%2\". %3")
                .arg(port, QFileInfo(device).group(), portAccessHint());
        case PortAccess::Usable:
            break;
    }
    if (!isTerminalDevice(device)) {
        return QStringLiteral("%1 is not a serial port (not a terminal device)").arg(port);
    }
    return QStringLiteral("%1 could not be opened; another program may hold it").arg(port);
}

QString portListText(const SettingsStore& settings) {
    QString text = QStringLiteral("COM ports as the updater maps them:\n");
    for (int n = 1; n <= kComPorts; ++n) {
        const QString mapped = comPortDevice(n, settings);
        const PortName name = resolvePortName(mapped, sysfsRoot(), devRoot());
        const QString shown = name.device == mapped ? mapped
                              : name.device.isEmpty()
                                  ? mapped
                                  : QStringLiteral("%1 (%2)").arg(mapped, name.device);
        text += QStringLiteral("  COM%1  %2  %3\n")
                    .arg(n)
                    .arg(shown, -16)
                    .arg(name.error.isEmpty() ? accessText(portAccess(name.device))
                                              : name.error.section(QLatin1Char(';'), 0, 0));
    }
    text += QStringLiteral("Serial devices found:\n");
    const QList<SerialAdapter> found = serialDevices();
    for (const SerialAdapter& a : found) {
        const QString line = QStringLiteral("  %1  %2  %3")
                                 .arg(a.device, -16)
                                 .arg(accessText(portAccess(a.device)), describe(a));
        text += line.trimmed().prepend(QStringLiteral("  ")) + QLatin1Char('\n') + adapterLines(a);
    }
    if (found.isEmpty()) {
        text += QStringLiteral("  none\n");
    }
    if (text.contains(accessText(PortAccess::Denied))) {
        text += portAccessHint() + QLatin1Char('\n');
    }
    return text;
}

QJsonObject portListJson(const SettingsStore& settings) {
    QJsonArray com;
    for (int n = 1; n <= kComPorts; ++n) {
        const QString mapped = comPortDevice(n, settings);
        const PortName name = resolvePortName(mapped, sysfsRoot(), devRoot());
        com.append(QJsonObject{{"port", QStringLiteral("COM%1").arg(n)},
                               {"device", mapped},
                               {"resolved", name.device},
                               {"access", accessKey(portAccess(name.device))}});
    }
    QJsonArray devices;
    for (const SerialAdapter& a : serialDevices()) {
        devices.append(QJsonObject{{"device", a.device},
                                   {"description", a.product},
                                   {"manufacturer", a.manufacturer},
                                   {"vendorId", a.vendorId},
                                   {"productId", a.productId},
                                   {"serialNumber", a.serialNumber},
                                   {"driver", a.driver},
                                   {"byId", a.byId},
                                   {"access", accessKey(portAccess(a.device))}});
    }
    return {{"comPorts", com}, {"devices", devices}};
}

}  // namespace kestrel::flash
