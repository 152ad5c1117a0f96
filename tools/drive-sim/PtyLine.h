#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

class QSocketNotifier;

namespace kestrel::drivesim {

// The drive's end of a pseudo-terminal. The host opens the slave path as its
// serial port. We hold the slave open ourselves too, so the host may close and
// reopen it as often as it likes without the master seeing a hang-up. A pty
// has no bit rate, but the host's settings are visible on the slave: they are
// read back so the drive knows at which rate the host believes it is sending.
class PtyLine final : public QObject {
  public:
    PtyLine();
    ~PtyLine() override;

    bool open(QString* error);
    QString slavePath() const { return slavePath_; }
    // Puts one byte on the line towards the host.
    void write(char byte);
    // The host's current bit rate (0 when it is not a standard one).
    int hostBitRate() const;

    // Bytes from the host, and the bit rate they were sent at (0 when the
    // host changed its rate just now and the bytes may be from either side
    // of the change).
    std::function<void(const QByteArray&, int)> onBytes;
    std::function<void(int)> onBitRateChanged;
    std::function<void(const QString&)> onProblem;

  private:
    void readAvailable();
    void pollBitRate();

    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer poll_;
    int rate_ = 0;
    QElapsedTimer sinceChange_;
    bool writeProblemReported_ = false;
};

}  // namespace kestrel::drivesim
