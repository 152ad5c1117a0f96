#include "QtSerialPort.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <cmath>

#include "../ComPorts.h"
#include "../SerialAdapters.h"
#include "../SerialSettings.h"

#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#else
#define FIONREAD 0
#define TIOCOUTQ 0
#endif

namespace kestrel {

CommError classifyOpenFailure(QSerialPort::SerialPortError error, bool accessDenied) {
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

// The device a [Ports] entry names: usb:SERIAL is the adapter with that serial
// number (none when there is not exactly one), a by-id or other link is the
// device it points to, so that its lock file is the one every name shares.
QString deviceBehind(const QString& mapped) {
    const QString device = resolvePortName(mapped, sysfsRoot(), devRoot()).device;
    const QString real = QFileInfo(device).canonicalFilePath();
    return real.isEmpty() ? device : real;
}

bool askLowLatency([[maybe_unused]] qintptr fd) {
#ifdef Q_OS_LINUX
    serial_struct line{};
    if (::ioctl(int(fd), TIOCGSERIAL, &line) != 0) {
        return false;
    }
    line.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(int(fd), TIOCSSERIAL, &line) == 0;
#else
    return false;
#endif
}

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

CommError QtSerialPort::open(int portNumber, const QString& settings, int handshaking) {
    close();
    portNumber_ = portNumber;
    settings_ = settings;
    const QString path = deviceBehind(comPortDevice(portNumber, store_));
    if (path.isEmpty()) {
        return CommError::InvalidPortNumber;
    }
    port_.setPortName(path);
    if (!port_.open(QIODevice::ReadWrite)) {
        const CommError error = classifyOpenFailure(port_.error(), accessDeniedTo(path));
        port_.clearError();
        if (error == CommError::None || error == CommError::Unknown) {
            // A COM port mapped to /dev/null, a plain file or a folder: there
            // is no such serial port, which is the nearest class.
            return isTerminalDevice(path) ? CommError::Unknown : CommError::InvalidPortNumber;
        }
        return error;
    }
    // Through symbolic links such as /dev/serial/by-id/... to the tty's name.
    policy_ =
        outputPolicyOf(sysfsRoot(), QFileInfo(QFileInfo(path).canonicalFilePath()).fileName());
    applySettings(settings);
    setHandshaking(handshaking);
    notice_ = lowLatencyNotice(sysfsRoot(), QFileInfo(path).fileName(),
                               [this] { return askLowLatency(port_.handle()); });
    // A USB port whose writer may run ahead of the line is paced like a pty,
    // so that its adapter's buffer, which no count shows, stays short.
    const WritePacing::Kind kind = pacingFor(port_.handle());
    pseudoTerminal_ = kind == WritePacing::Kind::LineRate;
    if (pseudoTerminal_) {
        pacing_.restart(kind, kPtyWindow, kPtyResume);
    } else {
        pacing_.restart(policy_.writeAhead > 0 ? WritePacing::Kind::LineRate : kind,
                        policy_.writeAhead, policy_.writeAhead);
    }
    return CommError::None;
}

void QtSerialPort::close() {
    if (port_.isOpen()) {
        port_.close();
    }
}

bool QtSerialPort::setSettings(const QString& settings) {
    letHiddenBytesOut();
    settings_ = settings;
    return !port_.isOpen() || applySettings(settings);
}

// A new bit rate takes effect at once, on bytes still in the UART's FIFO or
// the adapter's buffer too: they get their time to leave first (at most
// 0.1 s for the count to fall, then the time the hidden bytes take).
void QtSerialPort::letHiddenBytesOut() {
    if (!port_.isOpen() || policy_.hiddenBytes <= 0) {
        return;
    }
    for (int ms = 0; ms < 100 && bytesQueuedForOutput() > 0; ++ms) {
        sleepPrecisely(0.001);
    }
    sleepPrecisely(hiddenBytesTime(policy_, characterTime()));
}

double QtSerialPort::characterTime() const {
    const std::optional<LineSettings> line = parseLineSettings(settings_);
    return line ? characterSeconds(*line) : 10.0 / 9600;
}

bool QtSerialPort::applySettings(const QString& settings) {
    const std::optional<LineSettings> s = parseLineSettings(settings);
    if (!s) {
        return false;
    }
    pacing_.setCharacterTime(characterSeconds(*s));
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
    pacing_.afterWrite(bytes.size());
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
    // Nothing to count on a pty: spare the call, made once for every byte of
    // an image.
    return static_cast<int>(port_.bytesToWrite()) + (pseudoTerminal_ ? 0 : kernelBytes(TIOCOUTQ));
}

void QtSerialPort::waitForOutputDrained(double seconds) {
    if (const double sleep = drainSleep(bytesQueuedForOutput(), characterTime(), seconds, policy_);
        sleep > 0) {
        sleepPrecisely(sleep);
    }
}

void QtSerialPort::onReadyRead() {
    lastEvent_ = CommEvent::Receive;
    if (!pulling_ && handler_) {
        handler_();
    }
}

}  // namespace kestrel
