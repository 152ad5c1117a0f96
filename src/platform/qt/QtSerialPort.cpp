#include "QtSerialPort.h"

#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <cmath>

#include "../ComPorts.h"
#include "../SerialSettings.h"

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
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
        return error == CommError::None ? CommError::Unknown : error;
    }
    applySettings(settings);
    setHandshaking(handshaking);
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
    port_.write(bytes);
    // Hand the bytes to the driver now: the callers poll the output count
    // and do not always let the event loop run.
    port_.flush();
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
    return static_cast<int>(port_.bytesToWrite()) + kernelBytes(TIOCOUTQ);
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
