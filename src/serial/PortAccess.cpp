#include "PortAccess.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace kestrel {

PortAccess portAccess(const QString& device) {
    if (device.isEmpty() || !QFileInfo::exists(device)) {
        return PortAccess::Missing;
    }
#ifdef Q_OS_UNIX
    if (::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0) {
        return PortAccess::Denied;
    }
#endif
    return PortAccess::Usable;
}

QString portAccessHint() {
    return QStringLiteral(
        "A serial port you may not open needs membership of the group that owns it; on "
        "Debian: sudo adduser $USER dialout, then log in again.");
}

}  // namespace kestrel
