#pragma once

#include "Doubles.h"
#include "ScriptedUdpDrive.h"
#include "shell/Mainform.h"

namespace kestrel::testing {

// The whole window offscreen on simulated time, switched to the Ethernet
// link, with a scripted drive at `DriveIp`.
struct EthernetWindow {
    static inline const QString DriveIp = QStringLiteral("192.168.0.20");

    EthernetWindow() {
        tp.serial.setOpenResult(1, 0);
        form.Form_Load();
        form.setIpText(DriveIp);
        form.selectEthernet();
        tp.udp.clearSent();
        tp.messages.shown.clear();
    }

    UdpChannel& channel() { return form.udpChannel(); }
    UdpState& state() { return form.udpState(); }

    TestPlatform tp;
    ScriptedUdpDrive drive{tp, DriveIp};
    Mainform form{tp.platform};
};

}  // namespace kestrel::testing
