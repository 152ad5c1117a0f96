#pragma once

#include <QSerialPort>

#include "../SerialPort.h"
#include "../SettingsStore.h"
#include "WritePacing.h"

namespace kestrel {

// Pure rule: which of the window's failure classes a failed opening belongs
// to. `accessDenied` tells a permission refusal from a device held (locked or
// opened exclusively) by another process, which Qt reports alike.
CommError classifyOpenFailure(QSerialPort::SerialPortError error, bool accessDenied);

// Whether `path` is a terminal device, as every serial port is: /dev/null,
// a plain file or a folder is not.
bool isTerminalDevice(const QString& path);

// MSComm1 on QSerialPort. Reads pull from the device without waiting, so a
// caller that polls the port without pumping events still sees its bytes.
class QtSerialPort final : public SerialPort {
  public:
    explicit QtSerialPort(const SettingsStore& settings);
    ~QtSerialPort() override;

    CommError open(int portNumber, const QString& settings, int handshaking) override;
    QString openNotice() const override { return notice_; }
    void close() override;
    bool isOpen() const override { return port_.isOpen(); }
    int portNumber() const override { return portNumber_; }
    QString settings() const override { return settings_; }
    bool setSettings(const QString& settings) override;
    void setHandshaking(int mode) override;
    void setBreak(bool on) override;

    QByteArray read(int maxBytes) override;
    void write(const QByteArray& bytes) override;
    int bytesWaiting() override;
    void waitForBytes(double seconds) override;
    int bytesQueuedForOutput() override;
    void waitForOutputDrained(double seconds) override;
    int lastEvent() const override { return lastEvent_; }
    OutputPolicy outputPolicy() const override { return policy_; }
    void setReceiveHandler(std::function<void()> handler) override {
        handler_ = std::move(handler);
    }

    QString devicePath() const { return port_.portName(); }
    bool pacesWrites() const { return pacing_.paced(); }

  private:
    void onReadyRead();
    void pullFromDevice(int timeoutMs = 0);
    int kernelBytes(unsigned long request) const;
    bool applySettings(const QString& settings);
    double characterTime() const;
    void letHiddenBytesOut();

    const SettingsStore& store_;
    QSerialPort port_;
    int portNumber_ = 0;
    QString settings_;
    int lastEvent_ = CommEvent::None;
    bool pulling_ = false;
    bool notifyPosted_ = false;
    WritePacing pacing_;
    bool pseudoTerminal_ = false;  // reports no output queue at all
    OutputPolicy policy_;          // by the driver behind the device
    std::function<void()> handler_;
    QString notice_;
};

}  // namespace kestrel
