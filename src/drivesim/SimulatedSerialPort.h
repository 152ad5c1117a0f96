#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <deque>
#include <vector>

#include "PortModels.h"
#include "Scheduler.h"
#include "platform/SerialPort.h"

namespace kestrel::drivesim {

// What sits at the other end of the simulated serial line: the simulated drive.
class SerialPeer {
  public:
    virtual ~SerialPeer() = default;
    virtual void hostSettingsChanged(const QString& settings) = 0;
    // Bytes that have just left the host's port, with the settings they were
    // written under: a change of settings does not touch bytes already queued.
    virtual void hostBytesWritten(const QByteArray& bytes, const QString& settings) = 0;
};

// MSComm1 at the host's end of an in-memory serial line, on the clock of a
// HostScheduler: simulated time in the tests, the real clock under
// kestrel-flash --simulate. Written bytes leave one character time apart at
// the line's bit rate; the output count falls as they go. Bytes from the
// drive raise a receive notice that only an event pass delivers.
class SimulatedSerialPort final : public SerialPort {
  public:
    explicit SimulatedSerialPort(HostScheduler& time) : time_(time) {}

    // Which COM numbers exist and what opening them gives (0 = opens); the
    // others give `error` (at first 8002, no such port).
    void setOpenResult(int portNumber, CommError error) { openResults_[portNumber] = error; }
    void setOtherPortsOpenResult(CommError error) { otherPortsResult_ = error; }
    void setPeer(SerialPeer* peer) { peer_ = peer; }
    // The kind of port between the host and the line (none: an ideal one,
    // whose count falls as each byte leaves), and what the driver lookup
    // tells the host about it.
    void setModel(PortModel* model);
    void setOutputPolicy(const OutputPolicy& policy) { policy_ = policy; }

    // The drive side: bytes arrive at the host's port now.
    void receiveFromDrive(const QByteArray& bytes);
    // Bytes that reached the drive side so far.
    const QByteArray& transmitted() const { return transmitted_; }
    void clearTransmitted() { transmitted_.clear(); }

    struct Opening {
        int portNumber;
        QString settings;
        int handshaking;
    };
    const std::vector<Opening>& openings() const { return openings_; }
    QStringList settingsHistory() const { return settingsHistory_; }
    bool breakOn() const { return break_; }

    CommError open(int portNumber, const QString& settings, int handshaking) override;
    void close() override;
    bool isOpen() const override { return open_; }
    int portNumber() const override { return portNumber_; }
    QString settings() const override { return settings_; }
    bool setSettings(const QString& settings) override;
    void setHandshaking(int mode) override;
    void setBreak(bool on) override { break_ = on; }
    QByteArray read(int maxBytes) override;
    void write(const QByteArray& bytes) override;
    int bytesWaiting() override { return static_cast<int>(input_.size()); }
    // Runs the line until a byte is waiting or `seconds` have passed;
    // delivers no notification.
    void waitForBytes(double seconds) override;
    int bytesQueuedForOutput() override;
    void waitForOutputDrained(double seconds) override;
    int lastEvent() const override { return lastEvent_; }
    OutputPolicy outputPolicy() const override { return policy_; }
    void setReceiveHandler(std::function<void()> handler) override {
        handler_ = std::move(handler);
    }
    // How often a reader blocked in waitForBytes (a reader that spins does not).
    long long blockingWaits = 0;
    // How often a writer slept in waitForOutputDrained on a modelled port.
    long long drainSleeps = 0;

  private:
    void arrived(const QByteArray& bytes);
    void sentToDrive(char byte, const QString& settings);
    double characterTime() const;
    void letHiddenBytesOut();

    HostScheduler& time_;
    PortModel* model_ = nullptr;
    OutputPolicy policy_;
    SerialPeer* peer_ = nullptr;
    QMap<int, CommError> openResults_;
    CommError otherPortsResult_ = CommError::InvalidPortNumber;
    bool open_ = false;
    int portNumber_ = 0;
    QString settings_;
    int handshaking_ = 0;
    bool break_ = false;
    QByteArray input_;
    QByteArray transmitted_;
    int queued_ = 0;
    double lineFreeAt_ = 0.0;
    double pacedLineFreeAt_ = 0.0;
    std::deque<QString> writtenUnder_;  // the settings of each byte the model holds  // the line as
                                        // a writer that paces itself reckons it
    int generation_ = 0;
    int lastEvent_ = CommEvent::None;
    bool noticePending_ = false;
    std::vector<Opening> openings_;
    QStringList settingsHistory_;
    std::function<void()> handler_;
};

}  // namespace kestrel::drivesim
