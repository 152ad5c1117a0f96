#include "ComPorts.h"

#include "AppInfo.h"

namespace kestrel {

QString comPortDevice(int portNumber, const SettingsStore& settings) {
    const QString name = QStringLiteral("COM%1").arg(portNumber);
#ifdef Q_OS_WIN
    const QString fallback = name;
#else
    const QString fallback = QStringLiteral("/dev/ttyS%1").arg(portNumber - 1);
#endif
    if (portNumber < 1) {
        return QString();
    }
    return settings.read(AppInfo::settingsApplication(), QStringLiteral("Ports"), name, fallback);
}

}  // namespace kestrel
