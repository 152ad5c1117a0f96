#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "DriveOptions.h"
#include "FirmwareFile.h"
#include "Scheduler.h"
#include "Transcript.h"
#include "Verdict.h"

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

enum class DriveMode {
    Firmware,    // running firmware: takes text commands
    BootLoader,  // takes the image
    Hung,        // stopped answering (fault option); only a power cycle helps
};

// The steps that start the drive afresh. They reset both sides, so the drive
// as a whole takes them when a side or the end of an image calls for one.
class DriveSteps {
  public:
    virtual void enterBootLoader(Link link) = 0;
    virtual void restart(bool imageGood, Link link) = 0;

  protected:
    ~DriveSteps() = default;
};

// What the serial and the UDP side of the drive share: its clock and way out,
// which program it runs (mode, revision, the run it is in), the image it is
// receiving on either link, and the record of it all. The reception ends after
// a second without image data; the verdict on it then restarts the drive.
struct DriveCore {
    DriveCore(Scheduler& scheduler, DriveTransport& transport, DriveOptions options,
              DriveSteps& steps);

    // The drive's time: while a byte from a paced line is taken, its arrival.
    double now() const { return lineTime.value_or(scheduler.now()); }
    void note(Link link, TranscriptEntry::Kind kind, const QString& text);
    // Runs `action` at `time` unless the drive has started afresh meanwhile.
    void inThisRun(double time, std::function<void()> action);

    Reception& startReception(Link link);
    // Ends the reception once its link has been quiet long enough.
    void watchQuiet();
    void hang(Link link, const QString& why);
    void enterBootLoader(Link link) { steps.enterBootLoader(link); }

    Scheduler& scheduler;
    DriveTransport& transport;
    DriveSteps& steps;
    const DriveOptions options;
    std::optional<FirmwareFile> expected;  // when a valid file was given
    QString expectedError;

    DriveMode mode = DriveMode::Firmware;
    int revision = 0;
    bool blank = false;
    int epoch = 0;  // bumped whenever the drive starts afresh; ends what the old run scheduled
    std::optional<double> lineTime;

    std::optional<Reception> reception;
    Transcript transcript;
    std::vector<Verdict> verdicts;
    std::function<void(const Verdict&)> onVerdict;
    std::function<void(const TranscriptEntry&)> onTranscript;

  private:
    void finishReception();

    int nextReceptionId_ = 1;
    bool quietCheckPending_ = false;
};

}  // namespace kestrel::drivesim
