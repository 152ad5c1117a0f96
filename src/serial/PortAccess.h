#pragma once

#include <QString>

namespace kestrel {

// Whether this user can open a serial device for reading and writing.
enum class PortAccess { Usable, Missing, Denied };
PortAccess portAccess(const QString& device);

// How to get access to a serial port this user may not open, in one line: the
// window's status log and kestrel-flash give the same advice.
QString portAccessHint();

}  // namespace kestrel
