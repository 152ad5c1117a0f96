// The simulated drive's parsers fed arbitrary serial bytes and datagrams between
// steps of its clock; it answers only hosts that spoke to it.
#include "FuzzInput.h"

using namespace kestrel::drivesim;

// The drive's wire to the hosts, and its clock: the tests' simulated time.
struct Rig final : DriveTransport {
    void deliverSerialByte(char) override {}
    void deliverDatagram(const QByteArray& datagram, const Endpoint& to) override {
        FUZZ_CHECK(datagram.size() >= 2 &&
                   std::any_of(senders.begin(), senders.end(),
                               [&](auto& e) { return e.host == to.host && e.port == to.port; }));
    }
    SimTime time;
    std::vector<Endpoint> senders;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    const uint8_t flags = in.byte();
    Rig rig;
    DriveOptions o;
    o.blank = flags & 1;
    o.otherFamily = flags & 2;
    o.bootLoaderVersion = flags & 4 ? 5 : 2;
    o.dropDataFraction = flags & 8 ? 0.3 : 0.0;
    o.dropAckFraction = flags & 16 ? 0.3 : 0.0;
    o.seed = in.byte();
    o.firmwareFile = QByteArray("1.06,55\r\n\0\0\0IMAGE", 17);
    SimulatedDrive drive(rig.time, rig, o);
    const Endpoint hosts[2] = {{QStringLiteral("127.0.0.1"), 7777},
                               {QStringLiteral("127.0.0.2"), 7}};
    int hostRate = 0;
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        if ((op & 3) == 0) {
            drive.hostSerialBytes(in.take(op >> 2), hostRate);
        } else if ((op & 3) == 1) {
            rig.senders.push_back(hosts[(op >> 2) & 1]);
            drive.hostDatagram(in.take(op >> 3), rig.senders.back());
        } else if ((op & 3) == 2) {
            rig.time.advanceBy(
                std::array{0.0, 0.0001, 0.001, 0.01, 0.05, 0.2, 0.6, 1.5}[(op >> 2) & 7]);
        } else if (op & 4) {
            drive.powerUp();
        } else {
            hostRate = std::array{0, 9600, 115200, 19200}[(op >> 3) & 3];
            drive.hostBitRateChanged(hostRate);
        }
    }
    // Long enough for a pending image to be judged and the drive to restart.
    rig.time.advanceBy(5.0);
    return 0;
}
