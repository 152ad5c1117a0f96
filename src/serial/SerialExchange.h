#pragma once

#include <QByteArray>
#include <functional>

#include "platform/SerialPort.h"
#include "platform/Waits.h"
#include "report/Reporter.h"
#include "state/DownloadState.h"
#include "state/DriveState.h"
#include "state/FirmwareState.h"
#include "state/SerialState.h"

namespace kestrel {

// Text commands to the drive and its replies, and the receive handler that
// turns the drive's unprompted packets and text into what the window shows.
class SerialExchange {
  public:
    SerialExchange(SerialPort& port, Waits& waits, Reporter& report, SerialState& serial,
                   DriveState& drive, const FirmwareState& firmware, const DownloadState& download)
        : port_(port),
          clock_(waits.clock()),
          waits_(waits),
          report_(report),
          serial_(serial),
          drive_(drive),
          firmware_(firmware),
          download_(download) {}

    void InitSerialComm();
    // Sends CommandText and a CR. With WaitReply, the reply up to its CR ends
    // up in RxBuffer; false only when no reply came in time.
    bool SendCommand(bool WaitReply);
    // Drains the port into one packet, the status log or nowhere.
    void ReceiveCommBytes();
    // The receive handler: the port's receive notice, and every pass of Delay.
    void MSComm1_OnComm();
    // Shows the revision and model of the packet in RxBuffer.
    void ShowPowerupDrive();

    // Called when bytes on the port show that the drive is on the serial
    // link, so the session can switch to it without losing those bytes.
    void setSerialTrafficHandler(std::function<void()> handler) {
        serialTraffic_ = std::move(handler);
    }

  private:
    int collectBytes();
    void startPacket(unsigned char marker, int& count, int& expected);
    bool packetOverdue() const;
    bool moreToHandle();
    void actOnPacket();
    void onPowerUpPacket();
    void onBootLoaderPacket();
    void onRevisionPacket();

    SerialPort& port_;
    Clock& clock_;
    Waits& waits_;
    Reporter& report_;
    SerialState& serial_;
    DriveState& drive_;
    const FirmwareState& firmware_;
    const DownloadState& download_;
    std::function<void()> serialTraffic_;
};

}  // namespace kestrel
