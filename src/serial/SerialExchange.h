#pragma once

#include <QByteArray>

#include "platform/Clock.h"
#include "platform/MessageBoxes.h"
#include "platform/SerialPort.h"
#include "platform/Waits.h"
#include "platform/WindowView.h"
#include "state/DownloadState.h"
#include "state/DriveState.h"
#include "state/FirmwareState.h"
#include "state/SerialState.h"

namespace kestrel {

// Text commands to the drive and its replies, and the receive handler that
// turns the drive's unprompted packets and text into what the window shows.
class SerialExchange {
  public:
    SerialExchange(SerialPort& port, Clock& clock, Waits& waits, MessageBoxes& messages,
                   WindowView& view, SerialState& serial, DriveState& drive,
                   const FirmwareState& firmware, const DownloadState& download)
        : port_(port),
          clock_(clock),
          waits_(waits),
          messages_(messages),
          view_(view),
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
    MessageBoxes& messages_;
    WindowView& view_;
    SerialState& serial_;
    DriveState& drive_;
    const FirmwareState& firmware_;
    const DownloadState& download_;
};

}  // namespace kestrel
