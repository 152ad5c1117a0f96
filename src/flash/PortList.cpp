#include "PortList.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QSerialPortInfo>

#include "platform/ComPorts.h"
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

QString describe(const QSerialPortInfo& info) {
    QStringList parts;
    for (const QString& part : {info.description(), info.manufacturer()}) {
        if (!part.isEmpty()) {
            parts << part;
        }
    }
    return parts.join(QStringLiteral(", "));
}

}  // namespace

QString portAdvice(int comPort, const QString& device) {
    const QString port = QStringLiteral("COM%1 (%2)").arg(comPort).arg(device);
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
        const QString device = comPortDevice(n, settings);
        text += QStringLiteral("  COM%1  %2  %3\n")
                    .arg(n)
                    .arg(device, -16)
                    .arg(accessText(portAccess(device)));
    }
    text += QStringLiteral("Serial devices found:\n");
    const auto found = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : found) {
        const QString line =
            QStringLiteral("  %1  %2  %3")
                .arg(info.systemLocation(), -16)
                .arg(accessText(portAccess(info.systemLocation())), describe(info));
        text += line.trimmed().prepend(QStringLiteral("  ")) + QLatin1Char('\n');
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
        const QString device = comPortDevice(n, settings);
        com.append(QJsonObject{{"port", QStringLiteral("COM%1").arg(n)},
                               {"device", device},
                               {"access", accessKey(portAccess(device))}});
    }
    QJsonArray devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        devices.append(QJsonObject{{"device", info.systemLocation()},
                                   {"description", info.description()},
                                   {"manufacturer", info.manufacturer()},
                                   {"access", accessKey(portAccess(info.systemLocation()))}});
    }
    return {{"comPorts", com}, {"devices", devices}};
}

}  // namespace kestrel::flash
