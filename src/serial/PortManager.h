#pragma once

#include "platform/MessageBoxes.h"
#include "platform/SerialPort.h"
#include "platform/WindowView.h"
#include "state/SerialState.h"

namespace kestrel {

// Opens the one serial port with the settings in force, follows the user's
// choice of COM port and link, and says why a port could not be opened.
class PortManager {
  public:
    PortManager(SerialPort& port, MessageBoxes& messages, WindowView& view, SerialState& state)
        : port_(port), messages_(messages), view_(view), state_(state) {}

    // True exactly when the port is open after the call.
    bool OpenCommPort(int portNumber, const QString& settings, int handshaking);
    void CommList_Click();
    void optSerial_Click();

    // The text shown for a failed opening's error number.
    static QString openFailureMessage(int error);

  private:
    SerialPort& port_;
    MessageBoxes& messages_;
    WindowView& view_;
    SerialState& state_;
};

}  // namespace kestrel
