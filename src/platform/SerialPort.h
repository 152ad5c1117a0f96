#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

#include "PortDriver.h"

namespace kestrel {

// Error numbers a failed opening is classified into; the window's messages are
// chosen by them.
// The numbers are the serial control's own error numbers, kept so that a
// number seen in a log still means what it always meant.
enum class CommError : int {
    None = 0,
    Unknown = 8000,
    InvalidPortNumber = 8002,
    PortAlreadyOpen = 8005,
    HardwareNotAvailable = 8010,
    DeviceNotOpen = 8012,
    DeviceAlreadyOpen = 8013,
};

// Kind of the last communication event; only "receive" matters to the system.
namespace CommEvent {
inline constexpr int None = 0;
inline constexpr int Receive = 2;
}  // namespace CommEvent

// Handshaking modes as the callers pass them (0 = none).
namespace Handshaking {
inline constexpr int None = 0;
inline constexpr int XonXoff = 1;
}  // namespace Handshaking

// The window's serial control MSComm1: one numbered COM port.
class SerialPort {
  public:
    virtual ~SerialPort() = default;

    // Closes the port if open, then opens COM `portNumber` with a settings
    // string such as "9600,N,8,1". Returns CommError::None or the failure's
    // class; the port is open exactly when None is returned.
    virtual CommError open(int portNumber, const QString& settings, int handshaking) = 0;
    // A line for the status log about the port just opened (an adapter that
    // will hold the drive's replies back, say); empty when there is none.
    virtual QString openNotice() const { return {}; }
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual int portNumber() const = 0;
    virtual QString settings() const = 0;
    // Changes the line settings of the open port in place (bit rate switch).
    virtual bool setSettings(const QString& settings) = 0;
    virtual void setHandshaking(int mode) = 0;
    virtual void setBreak(bool on) = 0;

    // Reads at most `maxBytes` waiting bytes (all of them when 0); never waits.
    virtual QByteArray read(int maxBytes) = 0;
    virtual void write(const QByteArray& bytes) = 0;
    virtual int bytesWaiting() = 0;
    // Blocks until a byte is waiting or `seconds` have passed, delivering no
    // window event meanwhile: for a reply wait that must not let other
    // handlers run, yet should not spin.
    virtual void waitForBytes(double seconds) = 0;
    // Bytes written but not yet on the line (our queue plus the driver's).
    virtual int bytesQueuedForOutput() = 0;
    // Blocks for about as long as the queued output takes to reach the line,
    // at most `seconds`, delivering no window event: a byte lasts 87 us at
    // 115200 bit/s, far less than the event loop's millisecond timers. A port
    // whose queue drains with its clock (a double) need not wait here.
    virtual void waitForOutputDrained(double seconds) { (void)seconds; }
    virtual int lastEvent() const = 0;
    // How its output count is to be read, by the driver behind the port.
    virtual OutputPolicy outputPolicy() const { return {}; }

    // Called on the UI thread, from the event loop, when bytes have arrived.
    virtual void setReceiveHandler(std::function<void()> handler) = 0;
};

}  // namespace kestrel
