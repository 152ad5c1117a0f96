#pragma once

#include "Clock.h"
#include "EventPump.h"
#include "FileDialog.h"
#include "SerialPort.h"
#include "SettingsStore.h"
#include "UdpSocket.h"

namespace kestrel {

// The stand-ins for the window's non-visual controls and the machine's
// services, handed to the session and its engines as one bundle. The real
// bundle is built in main(); tests build one from doubles.
struct Platform {
    Clock& clock;
    EventPump& pump;
    SerialPort& serial;
    UdpSocket& udp;
    FileDialog& fileDialog;
    SettingsStore& settings;
};

}  // namespace kestrel
