#pragma once

#include <QJsonObject>
#include <QString>

#include "platform/SettingsStore.h"

namespace kestrel::flash {

// Why a port could not be opened, with what to do about it: a device that
// is missing, one this user may not open (and the group that gives access),
// or one that something else holds.
QString portAdvice(int comPort, const QString& device);

// --list-ports: COM1..COM8 as the window maps them, then the serial devices
// the system knows, each with whether this user may open it.
QString portListText(const SettingsStore& settings);
QJsonObject portListJson(const SettingsStore& settings);

}  // namespace kestrel::flash
