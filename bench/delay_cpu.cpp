// What the system's waits cost while nothing happens, on Qt's real event
// loop: an idle Delay(3000), a 100 ms UDP_DCLcommand wait that gets no reply,
// and a 5 s acknowledgement wait that gets none (with the count queries that
// follow it). A wait should block, not spin. Prints one line per wait:
// "wait NAME wall S cpu S".
//
// The datagrams go to a socket on 127.0.0.1 that this program holds and never
// reads, so nothing answers and nothing else on the machine is reached.
#include <QCoreApplication>
#include <QUdpSocket>
#include <cstdio>
#include <ctime>

#include "Doubles.h"
#include "download/DataBlockTransfer.h"
#include "ethernet/UdpChannel.h"
#include "platform/Waits.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtUdpSocket.h"

using namespace kestrel;

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

template <typename Wait>
void measure(const char* name, Clock& clock, Wait wait) {
    const double wall0 = clock.now();
    const double cpu0 = cpuSeconds();
    wait();
    std::printf("wait %s wall %.3f cpu %.5f\n", name, clock.now() - wall0, cpuSeconds() - cpu0);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QtClock clock;
    QtEventPump pump(clock);
    Waits waits(clock, pump);
    int passes = 0;
    waits.setReceivePoll([&passes] { ++passes; });

    QUdpSocket silent;
    silent.bind(QHostAddress::LocalHost, 0);
    QtUdpSocket socket;
    socket.bind(0);
    socket.setRemotePort(silent.localPort());
    testing::RecordingObserver seen;
    Reporter report(seen);
    const Choices choices{Link::Ethernet, 0, QStringLiteral("127.0.0.1")};
    UdpState udp;
    UdpChannel channel(socket, waits, report, choices, udp);
    socket.setArrivalHandler([&channel] { channel.Winsock1_DataArrival(); });
    testing::SimTime unused;
    testing::FakeSerialPort serial(unused);
    DownloadState download;
    DataBlockTransfer transfer(serial, channel, waits, report, choices, download, udp);
    channel.aimAtDrive();

    measure("Delay(3000)", clock, [&] { waits.Delay(3000); });
    measure("UDP_DCLcommand-100ms", clock, [&] { channel.UDP_DCLcommand("C", 2); });
    const QByteArray block(200, 'x');
    measure("ack-5s", clock, [&] { transfer.SendDataBlock(block, 199); });
    return 0;
}
