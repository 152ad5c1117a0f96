// The simulated drive's parsers: serial text commands, the boot loader's
// image bytes and the host's datagrams, fed arbitrary bytes between steps of
// its clock. Its replies go only to hosts that spoke to it, and its verdicts
// hold together.
#include <vector>

#include "FuzzInput.h"
#include "SimTime.h"
#include "SimulatedDrive.h"

using namespace kestrel::drivesim;

namespace {

constexpr int kMaxSteps = 64;
constexpr double kSteps[8] = {0.0, 0.0001, 0.001, 0.01, 0.05, 0.2, 0.6, 1.5};
constexpr int kRates[4] = {0, 9600, 115200, 19200};

// The drive's clock on the tests' simulated time.
class Clock final : public Scheduler {
  public:
    double now() const override { return time.now(); }
    void at(double t, std::function<void()> action) override { time.at(t, std::move(action)); }
    kestrel::testing::SimTime time;
};

class Wire final : public DriveTransport {
  public:
    void deliverSerialByte(char) override { ++serialBytes; }
    void deliverDatagram(const QByteArray& datagram, const Endpoint& to) override {
        FUZZ_CHECK(datagram.size() >= 2);
        bool known = false;
        for (const Endpoint& e : senders) {
            known = known || (e.host == to.host && e.port == to.port);
        }
        FUZZ_CHECK(known);
    }
    long long serialBytes = 0;
    std::vector<Endpoint> senders;
};

const Endpoint kHosts[2] = {{QStringLiteral("127.0.0.1"), 7777}, {QStringLiteral("127.0.0.2"), 7}};

DriveOptions optionsFrom(kestrel::fuzz::FuzzInput& in) {
    const uint8_t flags = in.byte();
    DriveOptions o;
    o.blank = flags & 1;
    o.otherFamily = flags & 2;
    o.bootLoaderVersion = flags & 4 ? 5 : 2;
    o.dropDataFraction = flags & 8 ? 0.3 : 0.0;
    o.dropAckFraction = flags & 16 ? 0.3 : 0.0;
    o.seed = in.byte();
    o.firmwareFile = QByteArray("1.06,55\r\n") + QByteArray(3, '\0') + QByteArray("IMAGE");
    return o;
}

void checkVerdicts(const SimulatedDrive& drive) {
    for (const Verdict& v : drive.verdicts()) {
        FUZZ_CHECK(!v.identical || (v.expectedKnown && v.bytesReceived == v.bytesExpected &&
                                    !v.errorSent && !v.stopped && v.firstDifference == -1));
        FUZZ_CHECK(v.identical || !v.expectedKnown ||
                   (v.firstDifference >= 0 && v.firstDifference <= v.bytesReceived));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kestrel::fuzz::FuzzInput in(data, size);
    Clock clock;
    Wire wire;
    SimulatedDrive drive(clock, wire, optionsFrom(in));
    FUZZ_CHECK(drive.expected().has_value());
    int hostRate = 0;
    for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        switch (op & 3) {
            case 0:
                drive.hostSerialBytes(in.take(op >> 2), hostRate);
                break;
            case 1: {
                const Endpoint& from = kHosts[(op >> 2) & 1];
                wire.senders.push_back(from);
                drive.hostDatagram(in.take(op >> 3), from);
                break;
            }
            case 2:
                clock.time.advanceBy(kSteps[(op >> 2) & 7]);
                break;
            default:
                if (op & 4) {
                    drive.powerUp();
                } else {
                    hostRate = kRates[(op >> 3) & 3];
                    drive.hostBitRateChanged(hostRate);
                }
        }
        checkVerdicts(drive);
    }
    // Long enough for a pending image to be judged and the drive to restart.
    clock.time.advanceBy(5.0);
    checkVerdicts(drive);
    return 0;
}
