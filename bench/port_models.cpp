// The serial transfer on the kinds of port technicians use, each modelled on
// simulated time (src/drivesim/PortModels.h): a whole download through the
// core against the in-process simulated drive, first as the transfer reads
// every port when it does not know the driver, then with the policy the
// driver lookup gives (on a pty: the pacing it has now). Prints one table
// row per port and policy; "wake-ups per byte" counts the host's event
// passes and sleeps, what its CPU goes into on a real machine.
//
//   bench_port_models [image-bytes]
#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "Bytes.h"
#include "SimulatedDriveLink.h"
#include "platform/qt/WritePacing.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

struct Figures {
    double seconds = 0;
    int afterXoff = 0;
    int xoffs = 0;
    int overruns = 0;
    bool identical = false;
    int garbled = 0;
    double wakeUpsPerByte = 0;
    QString message;
};

// A port model; `known`: the host has read the driver (on a pty: paces its
// writes as it does now).
using MakeModel =
    std::function<std::unique_ptr<drivesim::PortModel>(drivesim::HostScheduler&, bool known)>;

// One download of a `size`-byte image; the drive drains its buffer into
// flash at `drainRate` bytes/s.
Figures download(const MakeModel& make, bool driverKnown, int size, double drainRate) {
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    const QByteArray file = firmware("55", size, "1.07");
    drivesim::DriveOptions o;
    o.firmwareFile = file;
    o.drainRate = drainRate;
    o.rxBufferSize = 2048;
    o.xoffLevel = 256;
    o.xonLevel = 192;
    TestSession s;
    s.tp.time.passStep = 5e-6;  // a real event pass costs microseconds
    const std::unique_ptr<drivesim::PortModel> model = make(s.tp.time, driverKnown);
    s.tp.serial.setModel(model.get());
    s.tp.serial.setOutputPolicy(driverKnown ? model->driverPolicy() : OutputPolicy{});
    s.tp.serial.setOpenResult(1, CommError::None);
    SimulatedDriveLink drive(s.tp, o);
    s.session.Form_Load();
    const QString path = home.filePath(QStringLiteral("Flash.E"));
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size()) {
        return {};
    }
    out.close();
    s.tp.fileDialog.choose(path);
    s.session.OpenPrograms_Click();
    drive.powerUp();
    s.session.Delay(500);
    const long long passes = s.tp.time.passes;
    const long long sleeps = s.tp.serial.drainSleeps;
    const long long holds = model->writerHolds;
    s.session.StartDownload_Click();
    Figures f;
    f.wakeUpsPerByte = static_cast<double>(s.tp.time.passes - passes + s.tp.serial.drainSleeps -
                                           sleeps + model->writerHolds - holds) /
                       size;
    s.session.Delay(1500);
    f.message = s.seen.texts().value(0);
    if (!drive.drive().verdicts().empty()) {
        const auto* v = &drive.drive().verdicts().front();
        f.garbled = v->lineErrors;
        f.seconds = v->seconds + 10.0 / 115200;  // the first byte's own character
        f.afterXoff = v->mostBytesAfterXoff;
        f.xoffs = v->xoffsSent;
        f.overruns = v->overruns;
        f.identical = v->identical;
    }
    return f;
}

void row(const char* port, const MakeModel& make, int size) {
    const double floor = size * 10.0 / 115200;
    for (bool known : {false, true}) {
        const Figures line = download(make, known, size, 11400);
        // The drive takes less than the host sends, so that it holds the
        // host with XOFF all through the image.
        const double sent = size / std::max(line.seconds, 1e-3);
        const Figures drive = download(make, known, size, std::min(8000.0, 0.7 * sent));
        std::printf("| %s | %s | %.3f s | %.3f x | %.0f %% | %d (%d XOFFs) | %.2f | %s%s |\n", port,
                    known ? "new" : "today", line.seconds, line.seconds / floor,
                    100 * floor / line.seconds, drive.afterXoff, drive.xoffs, line.wakeUpsPerByte,
                    line.identical && drive.identical && !line.overruns && !drive.overruns
                        ? "image confirmed"
                        : qPrintable(QStringLiteral("NOT CONFIRMED: %1 bytes garbled, %2 lost")
                                         .arg(line.garbled)
                                         .arg(line.overruns)),
                    line.message.startsWith("Firmware Download is complete")
                        ? ""
                        : qPrintable(QStringLiteral("; ") + line.message));
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const int size = argc > 1 ? QByteArray(argv[1]).toInt() : 65536;
    using drivesim::UsbSerialAdapter;
    auto usb = [](UsbSerialAdapter::Chip chip) -> MakeModel {
        return [chip](drivesim::HostScheduler& t, bool) {
            return std::make_unique<UsbSerialAdapter>(t, chip);
        };
    };
    std::printf("%d-byte image at 115200 bit/s, line floor %.3f s\n\n", size, size * 10.0 / 115200);
    std::printf(
        "| port | transfer | time | against floor | of line rate | most bytes after XOFF | "
        "wake-ups per byte | outcome |\n|---|---|---|---|---|---|---|---|\n");
    row(
        "16550 UART", [](auto& t, bool) { return std::make_unique<drivesim::Uart16550>(t); }, size);
    row("FTDI, 16 ms latency", usb({"ftdi_sio", 1e-3, 16e-3, 256, true}), size);
    row("FTDI high speed, 16 ms", usb({"ftdi_sio", 125e-6, 16e-3, 1024, true}), size);
    row("CP210x, 1 ms latency", usb({"cp210x", 1e-3, 1e-3, 640, true}), size);
    row("CH341, 1 ms latency", usb({"ch341", 1e-3, 1e-3, 32, false}), size);
    row(
        "CDC-ACM", [](auto& t, bool) { return std::make_unique<drivesim::CdcAcmDevice>(t); }, size);
    row(
        "pty bridge, 2 ms round trip",
        [](auto& t, bool known) {
            auto bridge = std::make_unique<drivesim::PtyBridge>(t, 2e-3);
            bridge->paceWindow = known ? kPtyWindow : 0;
            bridge->paceResume = known ? kPtyResume : 0;
            return bridge;
        },
        size);
    return 0;
}
