#include "SimulatedLink.h"

#include <QHostAddress>
#include <cmath>

#include "platform/SerialSettings.h"

namespace kestrel::flash {

namespace {

// Where the host's datagrams come from, as the drive sees it.
const drivesim::Endpoint kHost{QStringLiteral("127.0.0.1"), 7777};
constexpr double kDatagramLatency = 200e-6;

void post(QObject& context, std::function<void()> action) {
    QMetaObject::invokeMethod(&context, std::move(action), Qt::QueuedConnection);
}

}  // namespace

// ------------------------------------------------------------------- serial

int SimulatedSerialPort::bitRate() const {
    const auto line = parseLineSettings(settings_);
    return line ? line->baudRate : 0;
}

int SimulatedSerialPort::open(int portNumber, const QString& settings, int) {
    close();
    if (!parseLineSettings(settings)) {
        return CommError::Unknown;
    }
    open_ = true;
    portNumber_ = portNumber;
    settings_ = settings;
    input_.clear();
    drive_->hostBitRateChanged(bitRate());
    return CommError::None;
}

void SimulatedSerialPort::close() {
    open_ = false;
    ++generation_;
    queued_ = 0;
    input_.clear();
}

bool SimulatedSerialPort::setSettings(const QString& settings) {
    if (!parseLineSettings(settings)) {
        return false;
    }
    settings_ = settings;
    drive_->hostBitRateChanged(bitRate());
    return true;
}

QByteArray SimulatedSerialPort::read(int maxBytes) {
    const qsizetype n =
        maxBytes <= 0 ? input_.size() : std::min<qsizetype>(maxBytes, input_.size());
    QByteArray taken = input_.left(n);
    input_.remove(0, n);
    return taken;
}

void SimulatedSerialPort::write(const QByteArray& bytes) {
    if (!open_) {
        return;
    }
    const auto line = parseLineSettings(settings_);
    const double perByte = line ? characterSeconds(*line) : 10.0 / 9600;
    const int rate = bitRate();
    const int generation = generation_;
    for (const char byte : bytes) {
        lineFreeAt_ = std::max(lineFreeAt_, scheduler_.now()) + perByte;
        ++queued_;
        scheduler_.at(lineFreeAt_, [this, byte, rate, generation] {
            if (generation == generation_) {
                --queued_;
                drive_->hostSerialBytes(QByteArray(1, byte), rate);
            }
        });
    }
}

void SimulatedSerialPort::waitForBytes(double seconds) {
    scheduler_.runUntil(scheduler_.now() + seconds, [this] { return !open_ || !input_.isEmpty(); });
}

void SimulatedSerialPort::waitForOutputDrained(double seconds) {
    scheduler_.runUntil(scheduler_.now() + seconds, [this] { return queued_ == 0; });
}

void SimulatedSerialPort::receiveFromDrive(char byte) {
    if (!open_) {
        return;
    }
    input_.append(byte);
    lastEvent_ = CommEvent::Receive;
    if (!noticePending_) {
        noticePending_ = true;
        post(notices_, [this] {
            noticePending_ = false;
            if (handler_ && !input_.isEmpty()) {
                handler_();
            }
        });
    }
}

// ---------------------------------------------------------------------- UDP

bool SimulatedUdpSocket::send(const QByteArray& datagram, QString* error) {
    if (QHostAddress(remoteHost_).isNull()) {
        if (error) {
            *error = QStringLiteral("Invalid remote host \"%1\"").arg(remoteHost_);
        }
        return false;
    }
    if (remoteHost_ == driveAddress_ && remotePort_ == drive_->options().udpPort) {
        scheduler_.at(scheduler_.now() + kDatagramLatency,
                      [this, datagram] { drive_->hostDatagram(datagram, kHost); });
    }
    return true;
}

void SimulatedUdpSocket::receiveFromDrive(const QByteArray& datagram) {
    inbox_.push_back(datagram);
    post(notices_, [this] {
        if (!inbox_.empty() && handler_) {
            handler_();
        }
    });
}

ReceivedDatagram SimulatedUdpSocket::readDatagram() {
    if (inbox_.empty()) {
        return {};
    }
    ReceivedDatagram d{inbox_.front(), driveAddress_};
    inbox_.pop_front();
    return d;
}

// --------------------------------------------------------------------- link

drivesim::DriveOptions SimulatedLink::optionsFor(const QString& address,
                                                 const QByteArray& firmwareFile) {
    drivesim::DriveOptions options;
    options.ipAddress = address;
    options.firmwareFile = firmwareFile;
    // A file for another model is taken by a drive of that model, so that any
    // file can be tried; the default drive is the sample's.
    const auto file = drivesim::parseFirmwareFile(firmwareFile, nullptr);
    if (file && file->modelNumber > 0 && file->modelNumber < 256) {
        options.modelCode = file->modelNumber;
    }
    return options;
}

SimulatedLink::SimulatedLink(const QString& address, const QByteArray& firmwareFile)
    : serial_(scheduler_),
      udp_(scheduler_, address),
      drive_(scheduler_, *this, optionsFor(address, firmwareFile)) {
    serial_.setDrive(&drive_);
    udp_.setDrive(&drive_);
}

QByteArray sampleFirmwareFile() {
    QByteArray image(8 * 1024, '\0');
    for (qsizetype i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    return QByteArrayLiteral("1.06\r\n55\r\n") + QByteArray(3, '\0') + image;
}

}  // namespace kestrel::flash
