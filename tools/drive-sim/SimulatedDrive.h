#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>
#include <random>

#include "DriveOptions.h"
#include "DriveReport.h"
#include "FirmwareFile.h"
#include "Scheduler.h"

namespace kestrel::drivesim {

// Where a host's datagram came from; replies go back there and nowhere else.
struct Endpoint {
    QString host;
    quint16 port = 0;
};

// The drive's way out to the host: a transport delivers what the drive sends.
class DriveTransport {
  public:
    virtual ~DriveTransport() = default;
    // One byte has just arrived, complete, at the host's end of the serial line.
    virtual void deliverSerialByte(char byte) = 0;
    // A datagram for the host at `to`, now.
    virtual void deliverDatagram(const QByteArray& datagram, const Endpoint& to) = 0;
};

// The drive at the other end of the updater's links, without any transport:
// it takes the host's serial bytes and datagrams, answers on its scheduler's
// clock through a DriveTransport, keeps a transcript, and judges every image
// it receives against the expected firmware.
class SimulatedDrive {
  public:
    enum class Mode {
        Firmware,    // running firmware: takes text commands
        BootLoader,  // takes the image
        Hung,        // stopped answering (fault option); only a power cycle helps
    };

    SimulatedDrive(Scheduler& scheduler, DriveTransport& transport, DriveOptions options);

    // A power cycle: the drive starts and announces itself on the serial line.
    void powerUp();
    // Bytes from the host's serial line, arriving now. `sentAtBitRate` is the
    // host's bit rate when it sent them (0: unknown, taken as right).
    void hostSerialBytes(const QByteArray& bytes, int sentAtBitRate = 0);
    // The host set its line to a new bit rate (0: unknown).
    void hostBitRateChanged(int bitRate);
    // A datagram the host sent to the drive's address and port.
    void hostDatagram(const QByteArray& datagram, const Endpoint& from);
    // Raw bytes onto the serial line, paced like everything the drive sends
    // (for tests that script drive text).
    void sendSerial(const QByteArray& bytes);

    Mode mode() const { return mode_; }
    int revision() const { return revision_; }
    bool isBlank() const { return blank_; }
    int lineBitRate() const { return lineRate_; }
    int hostBitRate() const { return hostRate_; }
    const DriveOptions& options() const { return options_; }
    // The expected firmware, when a valid file was given.
    const std::optional<FirmwareFile>& expected() const { return expected_; }
    QString expectedError() const { return expectedError_; }

    const Transcript& transcript() const { return transcript_; }
    QString transcriptText() const { return formatTranscript(transcript_); }
    const std::vector<Verdict>& verdicts() const { return verdicts_; }
    std::optional<Verdict> lastVerdict() const;
    // Called with each verdict as it is made.
    std::function<void(const Verdict&)> onVerdict;
    // Called with each transcript entry as it is made.
    std::function<void(const TranscriptEntry&)> onTranscript;

  private:
    struct Reception {
        int id = 0;
        Link link = Link::Serial;
        QByteArray received;
        qint64 bytesArrived = 0;  // serial: offset of the next byte in the host's stream
        double firstArrival = 0.0;
        double lastArrival = 0.0;
        int datagramsArrived = 0;
        int datagramsStored = 0;
        int duplicates = 0;
        int datagramsDropped = 0;
        int acksDropped = 0;
        int overruns = 0;
        int lineErrors = 0;
        int xoffs = 0;
        int bytesAfterXoff = 0;  // since the last XOFF reached the host
        int mostBytesAfterXoff = 0;
        int hostBitRate = 0;
        bool errorSent = false;
        bool stopped = false;
        QByteArray lastDatagram;
    };

    double now() const { return lineTime_.value_or(scheduler_.now()); }
    void note(Link link, TranscriptEntry::Kind kind, const QString& text);
    void serialByte(char byte, int sentAtBitRate);
    void commandByte(char byte);
    void handleCommand(const QByteArray& command);
    void announce();
    void enterBootLoader(Link link);
    void announceBootLoader();
    void sendPacket(const QByteArray& packet, const QString& name);
    void sendSerialAt(double notBefore, const QByteArray& bytes);
    void imageByte(char byte, bool garbled, bool lost);
    void updateFill();
    void scheduleXon();

    void udpCommand(const QByteArray& datagram, const Endpoint& from);
    void udpData(const QByteArray& datagram, const Endpoint& from);
    void reply(const QByteArray& datagram, const Endpoint& to, const QString& what);

    Reception& startReception(Link link);
    void watchQuiet();
    void finishReception();
    Verdict judge(const Reception& r) const;
    void restart(bool imageGood, Link link);
    void hang(Link link, const QString& why);

    Scheduler& scheduler_;
    DriveTransport& transport_;
    DriveOptions options_;
    std::optional<FirmwareFile> expected_;
    QString expectedError_;

    Mode mode_ = Mode::Firmware;
    int revision_ = 0;
    bool blank_ = false;
    int epoch_ = 0;  // bumped by every restart; cancels what the old run scheduled

    int lineRate_ = 9600;
    int hostRate_ = 0;
    double lineFreeAt_ = 0.0;
    double hostLineFreeAt_ = 0.0;     // when the host's last byte has arrived in full
    std::optional<double> lineTime_;  // while a byte from the line is taken: its arrival
    bool mismatchNoted_ = false;
    QByteArray commandLine_;

    std::optional<Reception> reception_;
    int nextReceptionId_ = 1;
    bool quietCheckPending_ = false;
    double fill_ = 0.0;
    double fillTime_ = 0.0;
    bool held_ = false;
    double xoffReachedHost_ = 0.0;

    int udpCount_ = 0;  // data datagrams stored since the start datagram
    std::mt19937 random_;

    Transcript transcript_;
    std::vector<Verdict> verdicts_;
};

}  // namespace kestrel::drivesim
