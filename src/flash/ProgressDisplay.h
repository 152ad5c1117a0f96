#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTextStream>

namespace kestrel::flash {

// The bar's line: percent, rate and time left once some bytes have gone.
QString progressBarText(qint64 value, qint64 maximum, double seconds);

// The download's progress on the status stream: on a terminal one bar
// redrawn in place (at most ten times a second), elsewhere a line
// "progress N%" at every tenth, which a log or a script can read.
class ProgressDisplay {
  public:
    explicit ProgressDisplay(QTextStream& out) : out_(out) {}
    void setTerminal(bool terminal) { terminal_ = terminal; }

    // The session's progress report: (0, max) opens a transfer and, once one
    // is open, closes it.
    void update(qint64 value, qint64 maximum);
    // Other text is about to go to the terminal: the bar's line ends there.
    void interrupt();
    // The last text printed did (not) end its line.
    void textPrinted(bool endedLine) { atLineStart_ = endedLine; }

  private:
    void draw(qint64 value, qint64 maximum);

    QTextStream& out_;
    bool terminal_ = false;
    bool open_ = false;
    bool drawn_ = false;
    bool atLineStart_ = true;
    int tenths_ = 0;
    qint64 last_ = 0;
    qint64 lastDrawnMs_ = -1;
    QElapsedTimer since_;
};

}  // namespace kestrel::flash
