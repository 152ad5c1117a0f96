#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

#include "DriveCore.h"

namespace kestrel::drivesim {

// The drive's serial line: its packets and text commands at 9600 bit/s, the
// boot loader's bit rate, the image taken into a receive buffer that drains
// into flash with XON/XOFF, "." and the fault options. Bytes sent at a bit
// rate the other end is not listening at arrive garbled, as on a real line.
class SerialSide {
  public:
    explicit SerialSide(DriveCore& core);

    // Bytes from the host's serial line, arriving now. `sentAtBitRate` is the
    // host's bit rate when it sent them (0: unknown, taken as right).
    void hostBytes(const QByteArray& bytes, int sentAtBitRate);
    // The host set its line to a new bit rate (0: unknown).
    void hostBitRateChanged(int bitRate);
    // Text onto the line, paced like everything the drive sends.
    void sendText(const QByteArray& text);
    // The power-up packet (or the boot loader's, or the other family's).
    void announce();

    // The line as the drive starts afresh: normal bit rate, no command half
    // typed, the receive buffer empty.
    void restart();
    // The receive buffer empty, the host not held.
    void clearBuffer();

    int lineBitRate() const { return lineRate_; }
    int hostBitRate() const { return hostRate_; }

  private:
    void note(TranscriptEntry::Kind kind, const QString& text);
    void announceBootLoader();
    void sendPacket(const QByteArray& packet, const QString& name);
    void sendAt(double notBefore, const QByteArray& bytes);
    void deliver(char byte, int rate);
    // `writtenInHold`: the host wrote the byte after the drive's XOFF had
    // reached it, and before the XON.
    void byteIn(char byte, int sentAtBitRate, bool writtenInHold);
    bool holdingHost() const;
    bool hostSawXoff() const;
    void commandByte(char byte);
    void handleCommand(const QByteArray& command);
    Reception& reception();
    void imageByte(char byte, bool garbled, bool lost, bool writtenInHold);
    void storeImageByte(Reception& r, char byte, qint64 offset);
    void updateFill();
    void scheduleXon();

    DriveCore& core_;
    const DriveOptions& options_;

    int lineRate_ = 9600;
    int hostRate_ = 0;
    double lineFreeAt_ = 0.0;
    double hostLineFreeAt_ = 0.0;  // when the host's last byte has arrived in full
    bool mismatchNoted_ = false;
    QByteArray commandLine_;

    // The boot loader's receive buffer.
    double fill_ = 0.0;
    double fillTime_ = 0.0;
    bool held_ = false;
    double xoffReachedHost_ = 0.0;
    bool xoffDelivered_ = false;  // the XOFF has been handed to the host's side
    double xoffDeliveredAt_ = 0.0;
};

}  // namespace kestrel::drivesim
