#pragma once

#include <QByteArray>
#include <QString>

namespace kestrel {

// The serial link's variables: port choice, command exchange, and what the
// drive's packets told us.
struct SerialState {
    // Port management.
    int CommPortNumber = 1;  // 0 = no port
    QString CommSettings = QStringLiteral("9600,N,8,1");

    // Command exchange and packet collection.
    QByteArray RxBuffer;  // last complete reply (with its CR) or drive packet
    // The command SendCommand sends next, without its CR. SendCommand takes
    // no command of its own: callers put it here first, so every command of
    // the serial exchange passes through this one field.
    QString CommandText;
    bool CommandBusy = false;
    bool PacketInProgress = false;
    double CommandStartTime = 0.0;  // clock seconds; start of the 0.5 s time-out
    bool InOnComm = false;
    // RxBuffer holds a complete drive packet that the receive handler has not
    // acted on yet; each packet is acted on once.
    bool packetPending = false;

    // What the drive reported.
    bool QTSent = false;
    int BootLoaderVersion = 0;
    int DriveRevNumber = 0;
    QString RevSuffix;
};

}  // namespace kestrel
