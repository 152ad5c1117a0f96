// The datagram dispatcher: arbitrary datagrams from the drive and a stranger,
// idle or while a command waits for its reply (what each type does,
// tests/ethernet pins). Nothing the stranger sends counts.
#include "FuzzInput.h"
#include "SessionProbe.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    testing::TestSession t;
    const QString hosts[2] = {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")};
    t.session.editAddress(hosts[0]);
    FUZZ_CHECK(SessionProbe(t.session).udpChannel().aimAtDrive());
    const UdpState& s = SessionProbe(t.session).udpState();
    const QString namedOnce =
        QStringLiteral("Ignored a datagram from 127.0.0.3: the drive is at 127.0.0.2\r\n");
    int driveAcks = 0;
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const uint8_t control = in.byte();
        const QByteArray datagram = in.take(in.byte() % 64u);
        const QString& sender = hosts[control & 1];
        const bool ack = datagram.size() >= 2 && datagram[0] == 0 && datagram[1] == 0x11;
        driveAcks += ack && sender == hosts[0];
        const double gap = std::array{0.0, 0.001, 0.05, 0.15}[(control >> 1) & 3];
        t.tp.time.after(gap,
                        [&t, datagram, sender] { t.tp.udp.receiveFromNetwork(datagram, sender); });
        if (control & 0x80) {
            const char command[] = {'C', char(control & 0x3F)};
            FUZZ_CHECK(SessionProbe(t.session).udpChannel().UDP_DCLcommand(
                QByteArrayView(command, 2), control & 0x0F));
        }
        // Every datagram of this step has arrived before the next begins.
        t.session.Delay(gap * 1000 + 1);
        FUZZ_CHECK(s.UdpRingWrite >= 0 && s.UdpRingWrite < UdpState::RingSize &&
                   s.UdpRingRead == 0);
        FUZZ_CHECK(s.AckReceived == (s.AckCount > 0) && s.AckCount == driveAcks);
        FUZZ_CHECK((t.seen.status.isEmpty() || t.seen.status == namedOnce) && t.seen.shown.empty());
        FUZZ_CHECK(t.tp.udp.remoteHost() != hosts[1]);
    }
    return 0;
}
