#pragma once

#include <QByteArray>
#include <QString>
#include <deque>
#include <functional>

#include "Scheduler.h"
#include "platform/PortDriver.h"

namespace kestrel::drivesim {

// What lies between the host's write() and the wire, and between the wire and
// the host's read(), on one kind of serial port: the driver's queue and what
// its output count shows, the port's own buffers, and how late received bytes
// reach the reader. It runs on the host's clock; a SimulatedSerialPort given
// one hands it everything it writes and everything the drive sends.
class PortModel {
  public:
    explicit PortModel(HostScheduler& time) : time_(time) {}
    virtual ~PortModel() = default;
    PortModel(const PortModel&) = delete;
    PortModel& operator=(const PortModel&) = delete;

    // Where bytes go: `toDrive` once a byte's stop bit is on the wire,
    // `toHost` once bytes are readable.
    void connect(std::function<void(char)> toDrive, std::function<void(const QByteArray&)> toHost);
    void setCharacterTime(double seconds) { characterTime_ = seconds; }
    // The port was closed: whatever it held is lost.
    void clear();

    virtual QString name() const = 0;
    // What looking up this port's driver gives.
    virtual OutputPolicy driverPolicy() const { return {}; }
    // A change of bit rate reaches the far end in order with the bytes (a
    // bridge forwards it), rather than at once (a UART's or a chip's
    // divisor).
    virtual bool settingsTravelWithBytes() const { return false; }
    // The line is set to XON/XOFF (IXON): the kernel keeps XON and XOFF from
    // the reader, and a chip that can pauses its transmitter on them.
    virtual void setXonXoff(bool on) { ixon_ = on; }
    // Bytes the host has just written.
    virtual void hostWrote(const QByteArray& bytes) = 0;
    // Times the writer was held in a write (a sleep of the host's).
    long long writerHolds = 0;
    // What TIOCOUTQ reports now.
    virtual int outputCount() const = 0;
    // A byte from the drive whose stop bit has just arrived.
    virtual void fromDrive(char byte) = 0;

  protected:
    // The port's own transmitter: bytes in its buffer leave one character
    // apart, and a paused transmitter finishes only the byte on the wire.
    void transmit(char byte);
    int transmitterHolds() const { return static_cast<int>(hardware_.size()); }
    void pauseTransmitter(bool paused);
    // The port was closed: the driver's queues are gone.
    virtual void dropQueued() {}
    // Called as the transmitter takes the last byte from its buffer.
    virtual void transmitterEmpty() {}
    // Received bytes wait until `delay` after the first of them has arrived
    // (a USB adapter's latency timer) or, when `quietTime`, after the last
    // (a UART's receive time-out), or until `trigger` are waiting.
    void holdReceived(char byte, double delay, int trigger, bool quietTime = false);
    // After `delay`, bytes pass to the other side unchanged.
    void later(double delay, std::function<void()> action);
    bool swallowedByKernel(char byte) const;

    HostScheduler& time_;
    double characterTime_ = 10.0 / 115200;
    bool ixon_ = false;
    std::function<void(char)> toDrive_;
    std::function<void(const QByteArray&)> toHost_;

  private:
    void sendNext();
    void flushReceived();

    std::deque<char> hardware_;
    bool sending_ = false;
    bool paused_ = false;
    QByteArray received_;
    int receivedGeneration_ = 0;
    int generation_ = 0;  // of the port's opening: what was scheduled before a close is dropped
};

// A 16550-type UART (8250 driver): TIOCOUTQ counts only the kernel's buffer
// (uart_chars_in_buffer); the driver refills the 16-byte FIFO only once it has
// emptied, and the receiver interrupts at 8 bytes or after 4 characters of
// silence.
class Uart16550 final : public PortModel {
  public:
    using PortModel::PortModel;
    QString name() const override { return QStringLiteral("16550 UART"); }
    OutputPolicy driverPolicy() const override {
        return outputPolicyFor(QStringLiteral("serial8250"));
    }
    void hostWrote(const QByteArray& bytes) override;
    int outputCount() const override { return static_cast<int>(kernel_.size()); }
    void fromDrive(char byte) override;

  private:
    void transmitterEmpty() override { fillFifo(); }
    void dropQueued() override { kernel_.clear(); }
    void fillFifo();
    std::deque<char> kernel_;
};

// A USB serial adapter on the generic usb-serial write path (ftdi_sio,
// cp210x, ch341, pl2303): TIOCOUTQ counts the kernel's fifo and the bytes of
// the (at most two) writes on the bus until each completes
// (usb_serial_generic_chars_in_buffer); a write completes at the end of the
// bus frame, once the chip's buffer has room. The chip passes received bytes
// on at its latency timer (16 ms on FTDI, about 1 ms on the others) or when
// 62 are waiting, and FTDI, CP210x and PL2303 chips pause on XOFF themselves
// when IXON is set.
class UsbSerialAdapter final : public PortModel {
  public:
    struct Chip {
        QString driver;
        double frame = 1e-3;  // 1 ms full speed, 125 us high speed
        double receiveLatency = 1e-3;
        int buffer = 256;           // the chip's transmit buffer
        bool pausesOnXoff = false;  // with IXON set (FTDI, CP210x, PL2303)
    };
    UsbSerialAdapter(HostScheduler& time, Chip chip) : PortModel(time), chip_(std::move(chip)) {}
    QString name() const override;
    OutputPolicy driverPolicy() const override { return outputPolicyFor(chip_.driver); }
    void hostWrote(const QByteArray& bytes) override;
    int outputCount() const override { return static_cast<int>(kernel_.size()) + onBus_; }
    void fromDrive(char byte) override;

  private:
    void submit();
    void frameEnds();
    double nextFrame() const;
    Chip chip_;
    QByteArray kernel_;
    std::deque<QByteArray> bus_;
    int onBus_ = 0;
    bool frameDue_ = false;
    void dropQueued() override;
};

// A CDC-ACM device (cdc_acm): every write() takes a write buffer of its own,
// and TIOCOUTQ counts each buffer in use at its full size, 1280 bytes
// (acm_tty_chars_in_buffer), however few bytes it holds. The device's own
// firmware takes a buffer at the end of a bus frame and knows no XON/XOFF.
class CdcAcmDevice final : public PortModel {
  public:
    explicit CdcAcmDevice(HostScheduler& time) : PortModel(time) {}
    QString name() const override { return QStringLiteral("CDC-ACM"); }
    OutputPolicy driverPolicy() const override {
        return outputPolicyFor(QStringLiteral("cdc_acm"));
    }
    void hostWrote(const QByteArray& bytes) override;
    int outputCount() const override { return buffersInUse_ * kBufferSize; }
    void fromDrive(char byte) override;

    static constexpr int kBufferSize = 1280;

  private:
    void complete(const QByteArray& buffer);
    void dropQueued() override { buffersInUse_ = 0; }
    int buffersInUse_ = 0;
    double busFreeAt_ = 0.0;
};

// A network serial bridge that presents a pseudo-terminal: TIOCOUTQ is always
// 0 (the pty has no queue of its own), so the host paces its writes at the
// line rate as it does on every pty; bytes cross the network in half the
// bridge's round trip each way, and the far end's UART sends them on.
class PtyBridge final : public PortModel {
  public:
    PtyBridge(HostScheduler& time, double roundTrip) : PortModel(time), roundTrip_(roundTrip) {}
    QString name() const override;
    bool settingsTravelWithBytes() const override { return true; }
    void hostWrote(const QByteArray& bytes) override;
    int outputCount() const override { return 0; }
    void fromDrive(char byte) override;
    // Bytes besides the one on the line the host's pacing lets it run ahead,
    // and how few once it has had to wait (as on a pty: WritePacing).
    int paceWindow = 0;
    int paceResume = 0;

  private:
    double roundTrip_;
    double paceFreeAt_ = 0.0;
};

}  // namespace kestrel::drivesim
