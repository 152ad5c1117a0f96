#pragma once

#include <QString>

#include "SettingsStore.h"

namespace kestrel {

// Device path behind "COMn": the settings group [Ports] may map it (e.g.
// COM1=/dev/ttyUSB0 or a pseudo-terminal); otherwise COM1..COM8 are
// /dev/ttyS0../dev/ttyS7. Windows keeps the COM names themselves.
QString comPortDevice(int portNumber, const SettingsStore& settings);

}  // namespace kestrel
