#include "PortDriver.h"

#include <algorithm>

#include "SerialAdapters.h"

namespace kestrel {

namespace {

// About a millisecond of the line at 115200 bit/s: what a full-speed USB
// frame takes to carry a write and report it done.
constexpr int kUsbWriteAhead = 24;
// Where the host must stop on XOFF itself, every byte ahead of the line may
// reach the drive after its XOFF: just enough to keep the line busy.
constexpr int kHostFlowWriteAhead = 20;
// A CDC-ACM device takes each write as a buffer of its own, several in a
// frame, so fewer bytes ahead keep its line busy.
constexpr int kAcmWriteAhead = 12;
constexpr int kAcmBufferSize = 1280;  // 20 packets of 64 bytes (full speed)
// A 16550's FIFO and shift register.
constexpr int kUartHidden = 17;
// A paced writer's window, its byte on the line and a USB frame's worth.
constexpr int kUsbHidden = kUsbWriteAhead + 1 + 12;
// An adapter that pauses on XOFF fills its buffer while the host, which no
// longer sees the XOFF, writes on: up to 1024 bytes (FT232H; a CP2102 holds
// 640, an FT232R 256).
constexpr int kChipBuffer = 1024;
// Longest a paced write waits: enough for one byte at 9600 bit/s, short
// enough that a long write never stalls the window.
constexpr double kLongestPace = 0.002;

}  // namespace

OutputPolicy outputPolicyFor(const QString& driver) {
    // FTDI, Silicon Labs and Prolific chips pause their own transmitter on
    // XOFF when the kernel asks them to (IXON); CH341 and CDC-ACM do not, so
    // there the host must see the XOFF and stop itself.
    if (driver == QLatin1String("ftdi_sio") || driver == QLatin1String("cp210x") ||
        driver == QLatin1String("pl2303")) {
        return {1, kUsbWriteAhead, true, kChipBuffer};
    }
    if (driver == QLatin1String("ch341")) {
        return {1, kHostFlowWriteAhead, false, kUsbHidden};
    }
    if (driver == QLatin1String("cdc_acm")) {
        return {kAcmBufferSize, kAcmWriteAhead, false, kUsbHidden};
    }
    if (driver == QLatin1String("serial8250") || driver == QLatin1String("serial")) {
        return {1, 0, false, kUartHidden};
    }
    return {};
}

OutputPolicy outputPolicyOf(const QString& sysRoot, const QString& ttyName) {
    return outputPolicyFor(describeSerialDevice(sysRoot, QString(), ttyName).driver);
}

int queuedBytes(int count, const OutputPolicy& policy) {
    const int unit = std::max(policy.countUnit, 1);
    return count <= 0 ? 0 : (count + unit - 1) / unit;
}

double drainSleep(int count, double characterTime, double limit, const OutputPolicy& policy) {
    const int beyond = queuedBytes(count, policy) - policy.writeAhead;
    if (beyond <= 0 || !(limit > 0)) {
        return 0.0;
    }
    return std::min({limit, std::max(beyond * characterTime / 2, 20e-6), 0.002});
}

double paceWrite(double& lineFreeAt, qsizetype bytes, double now, double characterTime, int window,
                 int resume) {
    if (!(characterTime > 0)) {
        return 0.0;
    }
    lineFreeAt = std::max(lineFreeAt, now) + static_cast<double>(bytes) * characterTime;
    const double wait = lineFreeAt - (window + 1) * characterTime - now;
    if (!(wait > 0 && wait <= kLongestPace)) {
        return 0.0;
    }
    return std::clamp(lineFreeAt - (std::min(resume, window) + 1) * characterTime - now, wait,
                      kLongestPace);
}

double hiddenBytesTime(const OutputPolicy& policy, double characterTime) {
    // A USB adapter takes its bytes up to a bus frame after the count has
    // fallen; one that pauses on XOFF may be held by the drive meanwhile
    // (the drive takes at least two thirds of the line rate).
    const double lineTime = policy.hiddenBytes * characterTime * (policy.chipXonXoff ? 1.5 : 1.0);
    return lineTime + (policy.writeAhead > 0 ? 1e-3 : 0.0);
}

}  // namespace kestrel
