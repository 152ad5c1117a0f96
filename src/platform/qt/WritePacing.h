#pragma once

#include <QtGlobal>
#include <algorithm>

#include "../PortDriver.h"

namespace kestrel {

// Whether a serial port's writes wait for an emulated line, and the emulated
// line's state.
//
// A pseudo-terminal (and so a network serial bridge that presents one) takes
// bytes as fast as they come and reports no output queue (TIOCOUTQ is always
// 0: the queue lives on the other side), so a writer that waits for the queue
// to empty before each byte would run far ahead of the drive and of its XOFF.
// Such a device is paced at the line rate of the settings applied: a write
// returns once its last byte has started on the emulated line, which keeps one
// byte waiting behind the one being sent, as a UART's holding register does.
// The line then does not idle while the caller takes up to a character to come
// back, and input it reads before the next write is at most a character old.
class WritePacing {
  public:
    enum class Kind { None, LineRate };  // None: a real line paces its writer

    // At every opening: the device's kind, on an idle line, how many bytes
    // besides the one on the line a write may leave ahead of it, and how few
    // once the writer has had to wait.
    void restart(Kind kind, int window = 0, int resume = 0) {
        kind_ = kind;
        window_ = window;
        resume_ = std::min(resume, window);
        lineFreeAt_ = 0.0;
    }
    bool paced() const { return kind_ == Kind::LineRate; }
    // One character's time at the settings applied (0: unknown, no pacing).
    void setCharacterTime(double seconds) { characterTime_ = seconds; }

    // Puts `bytes`, handed to the device at monotonic `now`, on the emulated
    // line and returns the seconds their writer waits: 0 when it need not, or
    // when the wait would be too long to hold the window up.
    double holdAfterWrite(qsizetype bytes, double now);
    // Holds the writer of `bytes`, just handed to the device, that long.
    void afterWrite(qsizetype bytes);

  private:
    Kind kind_ = Kind::None;
    int window_ = 0;
    int resume_ = 0;
    double characterTime_ = 0.0;
    double lineFreeAt_ = 0.0;  // monotonic seconds: the emulated line is idle
};

// On a pty the writer sleeps once for several bytes rather than once a byte
// (a wake-up costs more than a character's time of CPU): it may run this
// many bytes ahead of the emulated line, and sleeps until only a few are.
// It still reads the drive's input before every byte, so it writes nothing
// after it has read an XOFF; the bytes ahead are the pty's, as a UART's FIFO
// holds its own.
inline constexpr int kPtyWindow = 16;
inline constexpr int kPtyResume = 4;

// Unix98 pseudo-terminal slaves have majors 136 to 143.
bool isPseudoTerminalMajor(unsigned int deviceMajor);
// The pacing an open device needs, by its file descriptor.
WritePacing::Kind pacingFor(qintptr handle);

// Sleeps `seconds` on the monotonic clock with microsecond precision, for
// waits far shorter than the event loop's millisecond timers.
void sleepPrecisely(double seconds);

}  // namespace kestrel
