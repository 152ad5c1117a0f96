// The datagram dispatcher: arbitrary datagrams from two hosts, while the host
// is idle or waiting for a command's reply. The receive state is checked
// against a model of the dispatch rules kept here.
#include <array>

#include "Doubles.h"
#include "FuzzInput.h"
#include "ethernet/UdpChannel.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

constexpr double kGaps[4] = {0.0, 0.001, 0.05, 0.15};
constexpr int kMaxSteps = 64;
const QString kHosts[2] = {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")};

struct Rig {
    Rig() {
        socket.setArrivalHandler([this] { channel.Winsock1_DataArrival(); });
        report.setAddress(kHosts[0]);
    }
    SimTime time;
    SimEventPump pump{time};
    FakeUdpSocket socket{time};
    RecordingObserver seen;
    Reporter report{seen};
    Waits waits{time, pump};
    UdpState state;
    UdpChannel channel{socket, waits, report, state};
};

// What each datagram should leave behind.
struct Model {
    void apply(const QByteArray& d) {
        if (d.size() < 2) {
            return;
        }
        const QByteArray payload = d.mid(2);
        switch (static_cast<quint8>(d[0]) * 256 + static_cast<quint8>(d[1])) {
            case 8:
                reply = payload;
                break;
            case 15:
                for (const char c : payload) {
                    ring[std::size_t(write)] = static_cast<unsigned char>(c);
                    write = (write + 1) % UdpState::RingSize;
                }
                break;
            case 16:
                count = d.size() >= 4 ? static_cast<quint8>(d[2]) * 256 + static_cast<quint8>(d[3])
                                      : count;
                break;
            case 17:
                ++acks;
                break;
            case 99:
                ping = payload;
                break;
        }
    }
    QByteArray reply;
    std::array<unsigned char, UdpState::RingSize> ring{};
    int write = 0;
    int count = -1;
    int acks = 0;
    QByteArray ping;
};

void check(const Rig& rig, const Model& model) {
    const UdpState& s = rig.state;
    FUZZ_CHECK(s.UDPReplyData == model.reply && s.PingReplyData == model.ping);
    FUZZ_CHECK(s.UdpRing == model.ring && s.UdpRingWrite == model.write && s.UdpRingRead == 0);
    FUZZ_CHECK(s.DriveRxCount == model.count);
    FUZZ_CHECK(s.AckCount == model.acks && s.AckReceived == (model.acks > 0));
    FUZZ_CHECK(rig.seen.status.isEmpty() && rig.seen.shown.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    Rig rig;
    Model model;
    for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
        const uint8_t control = in.byte();
        const QByteArray datagram = in.take(in.byte() % 64u);
        const QString& sender = kHosts[control & 1];
        const double gap = kGaps[(control >> 1) & 3];
        rig.time.after(
            gap, [&rig, datagram, sender] { rig.socket.receiveFromNetwork(datagram, sender); });
        if (control & 0x80) {
            model.reply = QByteArray(1, '\0');
            const char command[] = {'C', char(control & 0x3F)};
            FUZZ_CHECK(rig.channel.UDP_DCLcommand(QByteArrayView(command, 2), control & 0x0F));
        }
        // Every datagram of this step has arrived before the next begins.
        rig.waits.Delay(gap * 1000 + 1);
        model.apply(datagram);
        check(rig, model);
        // Whoever sent last is where unaddressed datagrams go next.
        FUZZ_CHECK(rig.socket.remoteHost() == sender);
    }
    return 0;
}
