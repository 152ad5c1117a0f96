#pragma once

#include <QString>

namespace kestrel {

// How a writer that sends one byte at a time, each once the output queue is
// empty, reads one kind of port. The output count (TIOCOUTQ) means something
// else on every driver: the default is a UART's, which counts only its own
// buffer and so lets the next byte follow at once.
struct OutputPolicy {
    // The count moves in whole write buffers of this many bytes (CDC-ACM
    // reports a buffer's full size while one byte is in it).
    int countUnit = 1;
    // Bytes the writer may have queued ahead of the line, counted both in the
    // driver's queue and in line time: where every emptied queue costs a USB
    // round trip, one byte at a time would leave the line idle most of the
    // time, and bytes the port's own buffer takes unseen must not pile up.
    int writeAhead = 0;
    // The adapter itself stops sending on the drive's XOFF once the line is
    // set to XON/XOFF; the kernel then keeps XON and XOFF from the reader.
    bool chipXonXoff = false;
    // Bytes the port holds beyond what its count shows (a UART's FIFO and
    // shift register, an adapter's buffer): a change of bit rate waits for
    // them to reach the wire, or they go out garbled. 0: not known.
    int hiddenBytes = 0;

    bool operator==(const OutputPolicy&) const = default;
};

// The policy for a tty driver as sysfs names it (`device/driver`); a driver
// not known here keeps the default.
OutputPolicy outputPolicyFor(const QString& driver);

// The policy for /dev/`ttyName` by its driver as sysfs at `sysRoot` names
// it; a pseudo-terminal has no device there and keeps the default.
OutputPolicy outputPolicyOf(const QString& sysRoot, const QString& ttyName);

// How many bytes a count taken under `policy` stands for at the least.
int queuedBytes(int count, const OutputPolicy& policy);

// How long a writer that waits for a queue of `count` to drain sleeps before
// it looks again, at most `limit`: half the time the bytes it must see gone
// take to reach the line, so it looks twice per character and the next byte
// follows closely; at most 2 ms, so that events still flow when the queue
// does not move (a line held by flow control).
double drainSleep(int count, double characterTime, double limit, const OutputPolicy& policy);

// A writer that paces itself at the line rate, `window` bytes ahead of the
// line: `lineFreeAt` (monotonic seconds) moves on by the `bytes` handed over
// at `now`, and the result is how long the writer waits once more than the
// byte on the line and `window` others are ahead of it: until only `resume`
// others are (so that it sleeps once for several bytes), 2 ms at most; 0 when
// it need not wait, or when the wait would be too long to hold the window up.
double paceWrite(double& lineFreeAt, qsizetype bytes, double now, double characterTime, int window,
                 int resume);

// How long a change of bit rate waits, once the count is 0, for the bytes
// the count does not show to leave.
double hiddenBytesTime(const OutputPolicy& policy, double characterTime);

}  // namespace kestrel
