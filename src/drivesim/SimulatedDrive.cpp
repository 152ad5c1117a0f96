#include "SimulatedDrive.h"

namespace kestrel::drivesim {

SimulatedDrive::SimulatedDrive(Scheduler& scheduler, DriveTransport& transport,
                               DriveOptions options)
    : core_(scheduler, transport, std::move(options), *this) {}

std::optional<Verdict> SimulatedDrive::lastVerdict() const {
    if (core_.verdicts.empty()) {
        return std::nullopt;
    }
    return core_.verdicts.back();
}

void SimulatedDrive::powerUp() {
    ++core_.epoch;
    if (core_.reception) {
        core_.note(core_.reception->link, TranscriptEntry::Kind::Event,
                   QStringLiteral("power cut: the partial image is lost"));
    }
    core_.reception.reset();
    serial_.restart();
    udp_.restart();
    core_.mode = core_.blank ? Mode::BootLoader : Mode::Firmware;
    core_.note(Link::Serial, TranscriptEntry::Kind::Event, QStringLiteral("power up"));
    serial_.announce();
}

void SimulatedDrive::enterBootLoader(Link link) {
    ++core_.epoch;
    core_.mode = Mode::BootLoader;
    core_.reception.reset();
    serial_.clearBuffer();
    udp_.restart();
    core_.note(link, TranscriptEntry::Kind::Event, QStringLiteral("boot loader entered"));
}

void SimulatedDrive::restart(bool imageGood, Link link) {
    ++core_.epoch;
    serial_.restart();
    udp_.restart();
    if (imageGood) {
        core_.blank = false;
        core_.mode = Mode::Firmware;
        const auto newRevision = core_.expected ? core_.expected->driveRevision() : std::nullopt;
        if (newRevision) {
            core_.revision = *newRevision;
        }
        core_.note(link, TranscriptEntry::Kind::Event,
                   QStringLiteral("restart with firmware revision %1").arg(core_.revision));
    } else {
        // A drive whose flash holds a broken image has only its boot loader.
        core_.blank = true;
        core_.mode = Mode::BootLoader;
        core_.note(link, TranscriptEntry::Kind::Event,
                   QStringLiteral("restart without valid firmware: boot loader"));
    }
    if (link == Link::Serial) {
        // Over Ethernet the drive answers the next identity command instead.
        core_.inThisRun(core_.now() + core_.options.restartDelay, [this] { serial_.announce(); });
    }
}

}  // namespace kestrel::drivesim
