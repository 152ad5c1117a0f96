// What the serial block transfer costs per byte, on the real serial port class
// and event loop against kestrel-drive-sim's pseudo-terminal, and how precise
// and cheap the short sleep is that the output-queue wait uses on a real UART
// (a pseudo-terminal reports no output queue, so the transfer never sleeps
// there). Prints its figures; run it on an otherwise quiet machine.
//
//   bench_serial_block_cost [image-bytes]
#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "Doubles.h"
#include "download/DataBlockTransfer.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"

using namespace kestrel;

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double wallSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void plainSleep(double seconds) {
    timespec ts{0, static_cast<long>(seconds * 1e9)};
    nanosleep(&ts, nullptr);
}

// Many sleeps of `target` seconds: mean and 99th percentile of what they took,
// CPU per sleep.
template <typename Sleep>
void measureSleep(const char* what, double target, Sleep sleep) {
    constexpr int n = 5000;
    std::vector<double> took;
    took.reserve(n);
    const double cpu0 = cpuSeconds();
    for (int i = 0; i < n; ++i) {
        const double t0 = wallSeconds();
        sleep(target);
        took.push_back(wallSeconds() - t0);
    }
    const double cpu = (cpuSeconds() - cpu0) / n;
    double sum = 0;
    for (double t : took) {
        sum += t;
    }
    std::sort(took.begin(), took.end());
    std::printf("%-34s asked %5.1f us  took mean %6.1f us  p99 %6.1f us  cpu %4.1f us\n", what,
                target * 1e6, sum / n * 1e6, took[n * 99 / 100] * 1e6, cpu * 1e6);
}

QByteArray image(int size) {
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i) {
        data[i] = static_cast<char>(i * 37 + i / 251);
    }
    return data;
}

// One serial download of `data` into a fresh simulator started with `args`.
void measureTransfer(const char* what, const QByteArray& data, const QStringList& args) {
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("drive.E")));
    if (!file.open(QIODevice::WriteOnly)) {
        return;
    }
    file.write("1.06\r\n55\r\n\x01\x02\x03" + data);
    file.close();
    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(QStringLiteral(KESTREL_DRIVE_SIM_PATH),
              QStringList{"--firmware", file.fileName(), "--port", "0", "--no-power-up",
                          "--exit-after-verdict", "--linger", "0", "--quiet-time", "2"} +
                  args);
    QByteArray output;
    const QRegularExpression re(QStringLiteral("(/dev/\\S+)\n"));
    QRegularExpressionMatch m;
    while (!m.hasMatch() && sim.waitForReadyRead(5000)) {
        output += sim.readAll();
        m = re.match(QString::fromLocal8Bit(output));
    }
    if (!m.hasMatch()) {
        std::printf("%s: the simulator did not start\n", what);
        return;
    }

    testing::MemorySettingsStore settings;
    settings.write(AppInfo::settingsApplication(), "Ports", "COM1", m.captured(1));
    QtSerialPort serial(settings);
    QtClock clock;
    QtEventPump pump(clock);
    Waits waits(clock, pump);
    testing::RecordingObserver seen;
    Reporter report(seen);
    testing::SimTime unused;
    testing::FakeUdpSocket udp(unused);
    DownloadState download;
    UdpState udpState;
    const Choices choices;  // the serial link
    UdpChannel channel(udp, waits, report, choices, udpState);
    DataBlockTransfer transfer(serial, channel, waits, report, choices, download, udpState);

    serial.open(1, "9600,N,8,1", Handshaking::None);
    serial.write("B5827\r");
    QByteArray packet;
    while (packet.size() < 4 && clock.now() < 5) {
        serial.waitForBytes(0.1);
        packet += serial.read(0);
    }
    serial.setSettings("115200,N,8,1");
    waits.WaitMs(300);
    download.Downloading = true;

    const double wall0 = wallSeconds();
    const double cpu0 = cpuSeconds();
    BlockResult result = BlockResult::Delivered;
    for (qsizetype at = 0; at < data.size() && result == BlockResult::Delivered; at += 256) {
        ++download.BlockCount;
        const QByteArray block = data.mid(at, 256);
        result = transfer.SendDataBlock(block, static_cast<int>(block.size()) - 1);
    }
    const double wall = wallSeconds() - wall0;
    const double cpu = cpuSeconds() - cpu0;
    serial.setSettings("9600,N,8,1");
    sim.waitForFinished(10000);
    output += sim.readAll();
    const qsizetype at = output.indexOf("verdict ");
    const QByteArray verdict = output.mid(at, output.indexOf('\n', at) - at);
    std::printf(
        "%s: %lld bytes, result %d\n  wall %.3f s (%.2f us/byte, %.0f bytes/s)  cpu %.3f "
        "s (%.2f us/byte, %.0f %% of wall)\n  %s\n",
        what, static_cast<long long>(data.size()), int(result), wall,
        wall / static_cast<double>(data.size()) * 1e6, static_cast<double>(data.size()) / wall, cpu,
        cpu / static_cast<double>(data.size()) * 1e6, cpu / wall * 100, verdict.constData());
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const int size = argc > 1 ? QByteArray(argv[1]).toInt() : 65536;
    const double byteTime = 10.0 / 115200;

    std::printf("Short sleeps (one character at 115200 bit/s is %.1f us):\n", byteTime * 1e6);
    measureSleep("sleepPrecisely, half a character", byteTime / 2, sleepPrecisely);
    measureSleep("sleepPrecisely, one character", byteTime, sleepPrecisely);
    measureSleep("nanosleep, default slack, half", byteTime / 2, plainSleep);
    measureSleep("nanosleep, default slack, one", byteTime, plainSleep);

    std::printf("\nSerial transfer over the pseudo-terminal:\n");
    measureTransfer("drive takes everything at once (loop cost)", image(size),
                    {"--drain-rate", "1e9", "--rx-buffer", "16777216"});
    // Nothing paces the host on a pty but the drive's XOFF: with the default
    // 1024 bytes above its XOFF level the drive overruns when it is
    // scheduled late; 8 KiB of room shows the pacing alone.
    measureTransfer("drive takes 8000 bytes/s, 2 KiB buffer", image(std::min(size, 32768)), {});
    measureTransfer("drive takes 8000 bytes/s, 16 KiB buffer", image(std::min(size, 32768)),
                    {"--rx-buffer", "16384"});
    return 0;
}
