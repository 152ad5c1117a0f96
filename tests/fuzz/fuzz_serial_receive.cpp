// The serial receive path: the drive's bytes in arbitrary chunks at arbitrary
// times, while the host is idle or waiting for a command's reply.
#include "Doubles.h"
#include "FuzzInput.h"
#include "serial/DrivePackets.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// From back to back to past the half second a packet or reply may take.
constexpr double kGaps[8] = {0.0, 0.0005, 0.002, 0.01, 0.05, 0.2, 0.45, 0.7};
constexpr int kMaxSteps = 64;

bool isByte(int value) {
    return value >= 0 && value <= 255;
}

void checkState(TestSession& t) {
    const SerialState& s = t.session.serialState();
    FUZZ_CHECK(!s.CommandBusy && !s.InOnComm && !s.PacketInProgress);
    if (s.packetPending) {
        FUZZ_CHECK(!s.RxBuffer.isEmpty());
        const auto marker = static_cast<unsigned char>(s.RxBuffer[0]);
        FUZZ_CHECK(s.RxBuffer.size() == DrivePacketLength(marker));
    }
    FUZZ_CHECK(isByte(t.session.driveState().DriveModelCode) && isByte(s.DriveRevNumber) &&
               isByte(s.BootLoaderVersion));
    // Packet bytes never show as text, and an LF only ever ends a line break.
    const QString& log = t.seen.status;
    for (qsizetype i = 0; i < log.size(); ++i) {
        FUZZ_CHECK(log[i].unicode() < DrivePacket::FirstNonText);
        FUZZ_CHECK(log[i] != QLatin1Char('\n') || (i > 0 && log[i - 1] == QLatin1Char('\r')));
    }
    // Whatever the drive says, the host answers with its own commands only.
    const QList<QByteArray> lines = t.tp.serial.transmitted().split('\r');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        FUZZ_CHECK(lines[i] == "QT" || lines[i] == "00" || lines[i] == "SV");
    }
    FUZZ_CHECK(lines.back().isEmpty() || QByteArray("SV").startsWith(lines.back()) ||
               QByteArray("QT").startsWith(lines.back()) ||
               QByteArray("00").startsWith(lines.back()));
    FUZZ_CHECK(!t.session.ended() && t.tp.serial.isOpen());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput in(data, size);
    TestSession t;
    t.tp.serial.setOpenResult(1, CommError::None);
    t.session.Form_Load();
    // The loaded file stands in for a boot-loader packet without a revision.
    t.session.firmwareState().FileRevNumber = 90 + in.byte();
    t.session.firmwareState().FileModelCode = in.byte();
    t.session.downloadState().DownloadDone = in.byte() & 1;
    for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
        const uint8_t control = in.byte();
        const QByteArray chunk = in.take((control & 0x0F) + 1u);
        const double gap = kGaps[(control >> 4) & 7];
        t.tp.time.after(gap, [&t, chunk] { t.tp.serial.receiveFromDrive(chunk); });
        if (control & 0x80) {
            t.session.serialState().CommandText = QStringLiteral("SV");
            t.session.serialExchange().SendCommand(true);
        }
        t.session.Delay(gap * 1000 + 1);
        checkState(t);
    }
    t.session.Delay(1000);
    checkState(t);
    return 0;
}
