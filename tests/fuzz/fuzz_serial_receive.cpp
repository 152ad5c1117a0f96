// The serial receive path: the drive's bytes in arbitrary chunks at arbitrary
// times, while the host is idle or waiting for a command's reply.
#include "FuzzInput.h"
#include "SessionProbe.h"

using namespace kestrel;

static void checkState(testing::TestSession& t) {
    const SerialState& s = t.session.serialState();
    FUZZ_CHECK(!s.CommandBusy && !s.InOnComm && !s.PacketInProgress && !t.session.ended());
    FUZZ_CHECK(!s.packetPending || (!s.RxBuffer.isEmpty() &&
                                    s.RxBuffer.size() == DrivePacketLength(quint8(s.RxBuffer[0]))));
    // Numbers taken from a packet's bytes are bytes.
    FUZZ_CHECK(((t.session.driveState().DriveModelCode | s.DriveRevNumber | s.BootLoaderVersion) &
                ~0xFF) == 0);
    // Packet bytes never show as text, and an LF only ever ends a line break.
    static const QRegularExpression notText(
        QStringLiteral("[^\\x00-\\x{%1}]|(?<!\r)\n").arg(DrivePacket::FirstNonText - 1, 0, 16));
    FUZZ_CHECK(!t.seen.status.contains(notText));
    // Whatever the drive says, the port stays open and the host sends its own
    // commands only (the last maybe still going out).
    static const QRegularExpression own(QStringLiteral("^((QT|00|SV)\r)*(QT?|00?|SV?)?\\z"));
    FUZZ_CHECK(t.tp.serial.isOpen() &&
               QString::fromLatin1(t.tp.serial.transmitted()).contains(own));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    testing::TestSession t;
    t.tp.serial.setOpenResult(1, CommError::None);
    t.session.Form_Load();
    // The loaded file stands in for a boot-loader packet without a revision.
    t.session.firmwareState().FileRevNumber = 90 + in.byte();
    t.session.firmwareState().FileModelCode = in.byte();
    t.session.downloadState().DownloadDone = in.byte() & 1;
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const uint8_t control = in.byte();
        const QByteArray chunk = in.take((control & 0x0F) + 1u);
        // From back to back to past the half second a packet or reply may take.
        const double gap =
            std::array{0.0, 0.0005, 0.002, 0.01, 0.05, 0.2, 0.45, 0.7}[(control >> 4) & 7];
        t.tp.time.after(gap, [&t, chunk] { t.tp.serial.receiveFromDrive(chunk); });
        if (control & 0x80) {
            t.session.serialState().CommandText = QStringLiteral("SV");
            SessionProbe(t.session).serialExchange().SendCommand(true);
        }
        t.session.Delay(gap * 1000 + 1);
        checkState(t);
    }
    t.session.Delay(1000);
    checkState(t);
    return 0;
}
