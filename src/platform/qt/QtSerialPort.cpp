#include "QtSerialPort.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <cmath>

#include "../ComPorts.h"
#include "../SerialSettings.h"

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif
#else
#include <QThread>
#define FIONREAD 0
#define TIOCOUTQ 0
#endif

namespace kestrel {

int classifyOpenFailure(QSerialPort::SerialPortError error, bool accessDenied) {
    switch (error) {
        case QSerialPort::NoError:
            return CommError::None;
        case QSerialPort::DeviceNotFoundError:
            return CommError::InvalidPortNumber;
        case QSerialPort::PermissionError:
            return accessDenied ? CommError::HardwareNotAvailable : CommError::PortAlreadyOpen;
        case QSerialPort::OpenError:
            return CommError::DeviceAlreadyOpen;
        case QSerialPort::NotOpenError:
            return CommError::DeviceNotOpen;
        case QSerialPort::ResourceError:
            return CommError::HardwareNotAvailable;
        default:
            return CommError::Unknown;
    }
}

bool isTerminalDevice(const QString& path) {
#ifdef Q_OS_UNIX
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return true;  // cannot look inside; not called a non-terminal
    }
    const bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    return terminal;
#else
    Q_UNUSED(path);
    return true;
#endif
}

namespace {

bool accessDeniedTo(const QString& path) {
#ifdef Q_OS_UNIX
    const QByteArray native = QFileInfo(path).absoluteFilePath().toLocal8Bit();
    return ::access(native.constData(), R_OK | W_OK) != 0 && errno == EACCES;
#else
    Q_UNUSED(path);
    return false;
#endif
}

QSerialPort::Parity parityOf(char letter) {
    switch (letter) {
        case 'E':
            return QSerialPort::EvenParity;
        case 'O':
            return QSerialPort::OddParity;
        case 'M':
            return QSerialPort::MarkParity;
        case 'S':
            return QSerialPort::SpaceParity;
        default:
            return QSerialPort::NoParity;
    }
}

bool isPseudoTerminal(qintptr handle) {
#ifdef Q_OS_LINUX
    struct stat st {};
    // Unix98 pty slaves have majors 136 to 143.
    return ::fstat(static_cast<int>(handle), &st) == 0 && S_ISCHR(st.st_mode) &&
           major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
#else
    Q_UNUSED(handle);
    return false;
#endif
}

double monotonicSeconds() {
#ifdef Q_OS_UNIX
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
#else
    return 0.0;
#endif
}

// As sleepPrecisely, but the narrow timer slack stays: a paced write sleeps
// once a character, and setting the slack twice a sleep doubled its cost.
void sleepOnLine(double seconds) {
#ifdef Q_OS_UNIX
#ifdef Q_OS_LINUX
    static thread_local bool narrowed = false;
    if (!narrowed) {
        ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
        narrowed = true;
    }
#endif
    const auto nanoseconds = static_cast<long>(seconds * 1e9);
    timespec span{nanoseconds / 1000000000L, nanoseconds % 1000000000L};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &span, &span) == EINTR) {
    }
#else
    sleepPrecisely(seconds);
#endif
}

// Longest a write waits for the emulated line: enough for one byte at 9600
// bit/s, short enough that a long write never stalls the window.
constexpr double kLongestPace = 0.002;

}  // namespace

QtSerialPort::QtSerialPort(const SettingsStore& settings) : store_(settings) {
    port_.setReadBufferSize(0);
    QObject::connect(&port_, &QSerialPort::readyRead, [this] { onReadyRead(); });
}

QtSerialPort::~QtSerialPort() {
    close();
}

int QtSerialPort::open(int portNumber, const QString& settings, int handshaking) {
    close();
    portNumber_ = portNumber;
    settings_ = settings;
    const QString path = comPortDevice(portNumber, store_);
    if (path.isEmpty()) {
        return CommError::InvalidPortNumber;
    }
    port_.setPortName(path);
    if (!port_.open(QIODevice::ReadWrite)) {
        const int error = classifyOpenFailure(port_.error(), accessDeniedTo(path));
        port_.clearError();
        if (error == CommError::None || error == CommError::Unknown) {
            // A COM port mapped to /dev/null, a plain file or a folder: there
            // is no such serial port, which is the nearest class.
            return isTerminalDevice(path) ? CommError::Unknown : CommError::InvalidPortNumber;
        }
        return error;
    }
    applySettings(settings);
    setHandshaking(handshaking);
    pseudoTerminal_ = isPseudoTerminal(port_.handle());
    lineFreeAt_ = 0.0;
    return CommError::None;
}

void QtSerialPort::close() {
    if (port_.isOpen()) {
        port_.close();
    }
}

bool QtSerialPort::setSettings(const QString& settings) {
    settings_ = settings;
    return !port_.isOpen() || applySettings(settings);
}

bool QtSerialPort::applySettings(const QString& settings) {
    const std::optional<LineSettings> s = parseLineSettings(settings);
    if (!s) {
        return false;
    }
    characterTime_ = characterSeconds(*s);
    bool ok = port_.setBaudRate(s->baudRate);
    ok = port_.setParity(parityOf(s->parity)) && ok;
    ok = port_.setDataBits(static_cast<QSerialPort::DataBits>(s->dataBits)) && ok;
    ok = port_.setStopBits(s->stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop) && ok;
    return ok;
}

void QtSerialPort::setHandshaking(int mode) {
    if (port_.isOpen()) {
        port_.setFlowControl(mode == Handshaking::XonXoff ? QSerialPort::SoftwareControl
                                                          : QSerialPort::NoFlowControl);
    }
}

void QtSerialPort::setBreak(bool on) {
    if (port_.isOpen()) {
        port_.setBreakEnabled(on);
    }
}

int QtSerialPort::kernelBytes(unsigned long request) const {
#ifdef Q_OS_UNIX
    int count = 0;
    if (port_.isOpen() && ::ioctl(static_cast<int>(port_.handle()), request, &count) == 0) {
        return count;
    }
#else
    Q_UNUSED(request);
#endif
    return 0;
}

void QtSerialPort::pullFromDevice(int timeoutMs) {
    if (!port_.isOpen() || (timeoutMs <= 0 && kernelBytes(FIONREAD) <= 0)) {
        return;
    }
    // QSerialPort emits readyRead from inside this call; the receive handler
    // must not run nested in a reader, so the notice is deferred to the
    // event loop instead.
    pulling_ = true;
    port_.waitForReadyRead(timeoutMs);
    pulling_ = false;
    if (port_.bytesAvailable() > 0 && !notifyPosted_ && handler_) {
        notifyPosted_ = true;
        QMetaObject::invokeMethod(
            &port_,
            [this] {
                notifyPosted_ = false;
                if (port_.bytesAvailable() > 0 && handler_) {
                    handler_();
                }
            },
            Qt::QueuedConnection);
    }
}

QByteArray QtSerialPort::read(int maxBytes) {
    if (!port_.isOpen()) {
        return {};
    }
    if (maxBytes <= 0 || port_.bytesAvailable() < maxBytes) {
        pullFromDevice();
    }
    return maxBytes <= 0 ? port_.readAll() : port_.read(maxBytes);
}

void QtSerialPort::write(const QByteArray& bytes) {
    if (!port_.isOpen()) {
        return;
    }
    qsizetype written = 0;
#ifdef Q_OS_UNIX
    if (port_.bytesToWrite() == 0) {
        // Straight to the driver while Qt holds nothing back: the same bytes
        // in the same order, without arming and disarming Qt's write notifier
        // (two wake-ups of the event loop) for every byte of an image.
        const ssize_t n = ::write(static_cast<int>(port_.handle()), bytes.constData(),
                                  static_cast<size_t>(bytes.size()));
        written = std::max<qsizetype>(n, 0);
    }
#endif
    if (written < bytes.size()) {
        port_.write(bytes.constData() + written, bytes.size() - written);
        // Hand the bytes to the driver now: the callers poll the output count
        // and do not always let the event loop run.
        port_.flush();
    }
    if (pseudoTerminal_) {
        paceLikeALine(bytes.size());
    }
}

// A pty takes bytes as fast as they come and reports no output queue, so a
// writer that waits for the queue to empty would run far ahead of the drive
// and of its XOFF. Returning only once the last byte has started on the
// emulated line keeps one byte waiting behind the one being sent, as a UART's
// holding register does: the line does not idle while the caller takes up to
// a character to come back, and input it reads before the next write is at
// most a character old.
void QtSerialPort::paceLikeALine(qsizetype bytes) {
    const double perByte = characterTime_;
    if (!(perByte > 0)) {
        return;
    }
    const double now = monotonicSeconds();
    lineFreeAt_ = std::max(lineFreeAt_, now) + static_cast<double>(bytes) * perByte;
    const double wait = lineFreeAt_ - perByte - now;
    if (wait > 0 && wait <= kLongestPace) {
        sleepOnLine(wait);
    }
}

int QtSerialPort::bytesWaiting() {
    if (!port_.isOpen()) {
        return 0;
    }
    return static_cast<int>(port_.bytesAvailable()) + kernelBytes(FIONREAD);
}

void QtSerialPort::waitForBytes(double seconds) {
    if (port_.isOpen() && port_.bytesAvailable() == 0 && seconds > 0) {
        pullFromDevice(std::max(1, static_cast<int>(std::ceil(seconds * 1000.0))));
    }
}

int QtSerialPort::bytesQueuedForOutput() {
    if (!port_.isOpen()) {
        return 0;
    }
    if (port_.bytesToWrite() > 0) {
        port_.flush();
    }
    // A pty's driver has no queue to count (TIOCOUTQ is always 0 there):
    // spare the call, made once for every byte of an image.
    return static_cast<int>(port_.bytesToWrite()) + (pseudoTerminal_ ? 0 : kernelBytes(TIOCOUTQ));
}

// The kernel's default timer slack lets a sleep run 50 us long, more than
// half a character at 115200 bit/s, so it is narrowed for this one sleep.
void sleepPrecisely(double seconds) {
#ifdef Q_OS_UNIX
#ifdef Q_OS_LINUX
    const int slack = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
#endif
    timespec until{};
    ::clock_gettime(CLOCK_MONOTONIC, &until);
    const auto nanoseconds = static_cast<long long>(seconds * 1e9);
    until.tv_sec += static_cast<time_t>(nanoseconds / 1000000000LL);
    until.tv_nsec += static_cast<long>(nanoseconds % 1000000000LL);
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
#ifdef Q_OS_LINUX
    if (slack > 0) {
        ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
    }
#endif
#else
    QThread::usleep(static_cast<unsigned long>(seconds * 1e6));
#endif
}

void QtSerialPort::waitForOutputDrained(double seconds) {
    const int queued = bytesQueuedForOutput();
    if (queued <= 0 || !(seconds > 0)) {
        return;
    }
    // Half the time the queue takes to reach the line, so the caller looks
    // twice per character and the next byte follows closely; at most 2 ms,
    // so that events still flow when the queue does not move (a line held
    // by flow control).
    const std::optional<LineSettings> line = parseLineSettings(settings_);
    const double perByte = line ? characterSeconds(*line) : 10.0 / 9600;
    sleepPrecisely(std::min({seconds, std::max(queued * perByte / 2, 20e-6), 0.002}));
}

void QtSerialPort::onReadyRead() {
    lastEvent_ = CommEvent::Receive;
    if (!pulling_ && handler_) {
        handler_();
    }
}

}  // namespace kestrel
