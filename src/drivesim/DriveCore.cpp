#include "DriveCore.h"

namespace kestrel::drivesim {

namespace {
constexpr double kEpsilon = 1e-9;
}  // namespace

DriveCore::DriveCore(Scheduler& s, DriveTransport& t, DriveOptions o, DriveSteps& d)
    : scheduler(s),
      transport(t),
      steps(d),
      options(std::move(o)),
      revision(options.revision),
      blank(options.blank) {
    if (!options.firmwareFile.isEmpty()) {
        expected = parseFirmwareFile(options.firmwareFile, &expectedError);
    }
    // Until powerUp() the drive is taken to have started before anyone
    // listened: a blank one already sits in its boot loader.
    if (blank) {
        mode = DriveMode::BootLoader;
    }
}

void DriveCore::note(Link link, TranscriptEntry::Kind kind, const QString& text) {
    transcript.push_back({now(), link, kind, text});
    if (onTranscript) {
        onTranscript(transcript.back());
    }
}

void DriveCore::inThisRun(double time, std::function<void()> action) {
    scheduler.at(time, [this, run = epoch, action = std::move(action)] {
        if (run == epoch) {
            action();
        }
    });
}

void DriveCore::hang(Link link, const QString& why) {
    mode = DriveMode::Hung;
    note(link, TranscriptEntry::Kind::Event, QStringLiteral("stops answering: ") + why);
}

Reception& DriveCore::startReception(Link link) {
    reception.emplace();
    reception->id = nextReceptionId_++;
    reception->link = link;
    reception->firstArrival = now();
    note(link, TranscriptEntry::Kind::Event, QStringLiteral("image begins"));
    return *reception;
}

void DriveCore::watchQuiet() {
    if (quietCheckPending_ || !reception) {
        return;
    }
    quietCheckPending_ = true;
    const int id = reception->id;
    scheduler.at(reception->lastArrival + options.quietTime, [this, id] {
        quietCheckPending_ = false;
        if (!reception) {
            return;
        }
        if (reception->id != id || now() - reception->lastArrival + kEpsilon < options.quietTime) {
            watchQuiet();
            return;
        }
        finishReception();
    });
}

void DriveCore::finishReception() {
    const Reception r = *reception;
    reception.reset();
    const Verdict verdict = judge(r, expected ? &*expected : nullptr, now());
    verdicts.push_back(verdict);
    note(r.link, TranscriptEntry::Kind::Event, QStringLiteral("verdict ") + verdict.describe());
    if (onVerdict) {
        onVerdict(verdict);
    }
    if (mode != DriveMode::Hung) {
        steps.restart(verdict.identical || !verdict.expectedKnown, r.link);
    }
}

}  // namespace kestrel::drivesim
