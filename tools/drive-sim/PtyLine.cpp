#include "PtyLine.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

namespace kestrel::drivesim {

namespace {

// Bytes read within this time of a bit-rate change may have been sent at the
// old rate: a pty cannot say which, so they are not judged.
constexpr int kRateChangeGraceMs = 100;

int bitRateOf(speed_t speed) {
    switch (speed) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        case B460800:
            return 460800;
        case B921600:
            return 921600;
        default:
            return 0;
    }
}

QString systemError(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

}  // namespace

PtyLine::PtyLine() {
    poll_.setInterval(20);
    connect(&poll_, &QTimer::timeout, this, [this] { pollBitRate(); });
}

PtyLine::~PtyLine() {
    delete notifier_;
    if (slave_ >= 0) {
        ::close(slave_);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
}

bool PtyLine::open(QString* error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) {
        *error = systemError("posix_openpt");
        return false;
    }
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        *error = systemError("grantpt/unlockpt");
        return false;
    }
    const char* name = ::ptsname(master_);
    if (!name) {
        *error = systemError("ptsname");
        return false;
    }
    slavePath_ = QString::fromLocal8Bit(name);
    slave_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        *error = systemError("open slave");
        return false;
    }
    termios raw{};
    ::tcgetattr(slave_, &raw);
    ::cfmakeraw(&raw);
    ::cfsetispeed(&raw, B9600);
    ::cfsetospeed(&raw, B9600);
    ::tcsetattr(slave_, TCSANOW, &raw);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    rate_ = hostBitRate();
    sinceChange_.start();
    notifier_ = new QSocketNotifier(master_, QSocketNotifier::Read);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readAvailable(); });
    poll_.start();
    return true;
}

int PtyLine::hostBitRate() const {
    termios t{};
    if (slave_ < 0 || ::tcgetattr(slave_, &t) != 0) {
        return 0;
    }
    return bitRateOf(::cfgetospeed(&t));
}

void PtyLine::pollBitRate() {
    const int rate = hostBitRate();
    if (rate == rate_) {
        return;
    }
    rate_ = rate;
    sinceChange_.restart();
    if (onBitRateChanged) {
        onBitRateChanged(rate);
    }
}

void PtyLine::readAvailable() {
    pollBitRate();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            // EAGAIN: drained. EIO cannot come while we hold the slave open.
            return;
        }
        const int rate = sinceChange_.elapsed() < kRateChangeGraceMs ? 0 : rate_;
        if (onBytes) {
            onBytes(QByteArray(buffer, static_cast<qsizetype>(n)), rate);
        }
    }
}

void PtyLine::write(char byte) {
    if (::write(master_, &byte, 1) == 1) {
        return;
    }
    // The slave's input is full because nobody reads it: the byte is lost,
    // as on a cable with nobody listening.
    if (!writeProblemReported_ && onProblem) {
        writeProblemReported_ = true;
        onProblem(systemError("write to the pty (bytes are being lost)"));
    }
}

}  // namespace kestrel::drivesim
