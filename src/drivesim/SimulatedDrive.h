#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

#include "DriveCore.h"
#include "DriveOptions.h"
#include "FirmwareFile.h"
#include "Scheduler.h"
#include "SerialSide.h"
#include "Transcript.h"
#include "UdpSide.h"
#include "Verdict.h"

namespace kestrel::drivesim {

// The drive at the other end of the updater's links, without any transport:
// it takes the host's serial bytes and datagrams, answers on its scheduler's
// clock through a DriveTransport, keeps a transcript, and judges every image
// it receives against the expected firmware. Its serial side (SerialSide) and
// Ethernet side (UdpSide) share one core (DriveCore); the drive itself takes
// the steps that start both afresh: power-up, boot loader, restart.
class SimulatedDrive final : DriveSteps {
  public:
    using Mode = DriveMode;

    SimulatedDrive(Scheduler& scheduler, DriveTransport& transport, DriveOptions options);
    SimulatedDrive(const SimulatedDrive&) = delete;
    SimulatedDrive& operator=(const SimulatedDrive&) = delete;

    // A power cycle: the drive starts and announces itself on the serial line.
    void powerUp();
    // Bytes from the host's serial line, arriving now. `sentAtBitRate` is the
    // host's bit rate when it sent them (0: unknown, taken as right).
    void hostSerialBytes(const QByteArray& bytes, int sentAtBitRate = 0) {
        serial_.hostBytes(bytes, sentAtBitRate);
    }
    // The host set its line to a new bit rate (0: unknown).
    void hostBitRateChanged(int bitRate) { serial_.hostBitRateChanged(bitRate); }
    // A datagram the host sent to the drive's address and port.
    void hostDatagram(const QByteArray& datagram, const Endpoint& from) {
        udp_.hostDatagram(datagram, from);
    }
    // Raw bytes onto the serial line, paced like everything the drive sends
    // (for tests that script drive text).
    void sendSerial(const QByteArray& bytes) { serial_.sendText(bytes); }

    Mode mode() const { return core_.mode; }
    int revision() const { return core_.revision; }
    bool isBlank() const { return core_.blank; }
    int lineBitRate() const { return serial_.lineBitRate(); }
    int hostBitRate() const { return serial_.hostBitRate(); }
    const DriveOptions& options() const { return core_.options; }
    // The expected firmware, when a valid file was given.
    const std::optional<FirmwareFile>& expected() const { return core_.expected; }
    QString expectedError() const { return core_.expectedError; }

    const Transcript& transcript() const { return core_.transcript; }
    QString transcriptText() const { return formatTranscript(core_.transcript); }
    const std::vector<Verdict>& verdicts() const { return core_.verdicts; }
    std::optional<Verdict> lastVerdict() const;

  private:
    void enterBootLoader(Link link) override;
    void restart(bool imageGood, Link link) override;

    DriveCore core_;
    SerialSide serial_{core_};
    UdpSide udp_{core_};

  public:
    // Called with each verdict as it is made.
    std::function<void(const Verdict&)>& onVerdict = core_.onVerdict;
    // Called with each transcript entry as it is made.
    std::function<void(const TranscriptEntry&)>& onTranscript = core_.onTranscript;
};

}  // namespace kestrel::drivesim
