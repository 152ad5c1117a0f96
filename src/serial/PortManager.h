#pragma once

#include "platform/SerialPort.h"
#include "report/Reporter.h"
#include "state/Choices.h"
#include "state/SerialState.h"

namespace kestrel {

// Opens the one serial port with the settings in force, follows the choice of
// COM port and link, and says why a port could not be opened.
class PortManager {
  public:
    PortManager(SerialPort& port, Reporter& report, Choices& choices, SerialState& state)
        : port_(port), report_(report), choices_(choices), state_(state) {}

    // True exactly when the port is open after the call.
    bool OpenCommPort(int portNumber, const QString& settings, int handshaking);
    // The port list's click: opens the port of the entry chosen.
    void CommList_Click();
    // Chooses a list entry as code does: the click follows only when the
    // entry changes.
    void setCommListIndex(int index);
    // The serial option's click: serial controls and caption, then the port.
    void optSerial_Click();
    // Selects the serial link as code does: the click follows only when the
    // link changes.
    void selectSerial();
    // The drive spoke on the serial line while another link was selected:
    // switch to serial, but keep a port that is already open on the chosen
    // entry, so the bytes that showed the drive are not thrown away.
    void switchToSerialKeepingPort();

    // The text shown for a failed opening's error number.
    static QString openFailureMessage(CommError error);

  private:
    SerialPort& port_;
    void chooseSerialLink();

    Reporter& report_;
    Choices& choices_;
    SerialState& state_;
    bool accessHintShown_ = false;
    QString noticeShown_;
};

}  // namespace kestrel
