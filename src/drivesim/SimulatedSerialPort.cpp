#include "SimulatedSerialPort.h"

#include "platform/SerialSettings.h"

namespace kestrel::drivesim {

CommError SimulatedSerialPort::open(int portNumber, const QString& settings, int handshaking) {
    close();
    const CommError error = openResults_.value(portNumber, otherPortsResult_);
    openings_.push_back({portNumber, settings, handshaking});
    if (error != CommError::None) {
        return error;
    }
    if (!parseLineSettings(settings)) {
        return CommError::Unknown;
    }
    open_ = true;
    portNumber_ = portNumber;
    settings_ = settings;
    settingsHistory_ << settings;
    handshaking_ = handshaking;
    input_.clear();
    if (peer_) {
        peer_->hostSettingsChanged(settings);
    }
    return CommError::None;
}

void SimulatedSerialPort::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    ++generation_;  // bytes still queued for output are lost with the port
    queued_ = 0;
    input_.clear();
}

bool SimulatedSerialPort::setSettings(const QString& settings) {
    if (!parseLineSettings(settings)) {
        return false;
    }
    settings_ = settings;
    settingsHistory_ << settings;
    if (peer_) {
        peer_->hostSettingsChanged(settings);
    }
    return true;
}

QByteArray SimulatedSerialPort::read(int maxBytes) {
    if (!open_) {
        return {};
    }
    if (input_.isEmpty()) {
        time_.pollFoundNothing();
    }
    const qsizetype n =
        maxBytes <= 0 ? input_.size() : std::min<qsizetype>(maxBytes, input_.size());
    QByteArray taken = input_.left(n);
    input_.remove(0, n);
    return taken;
}

void SimulatedSerialPort::waitForBytes(double seconds) {
    if (!open_ || !input_.isEmpty() || seconds <= 0) {
        return;
    }
    ++blockingWaits;
    time_.runUntil(time_.now() + seconds, [this] { return !input_.isEmpty(); });
}

void SimulatedSerialPort::waitForOutputDrained(double seconds) {
    time_.runUntilSent(time_.now() + seconds, [this] { return queued_ == 0; });
}

void SimulatedSerialPort::write(const QByteArray& bytes) {
    if (!open_) {
        return;
    }
    const auto line = parseLineSettings(settings_);
    const double perByte = line ? characterSeconds(*line) : 10.0 / 9600;
    const int generation = generation_;
    const QString settings = settings_;
    for (char byte : bytes) {
        lineFreeAt_ = std::max(lineFreeAt_, time_.now()) + perByte;
        ++queued_;
        time_.at(lineFreeAt_, [this, byte, generation, settings] {
            if (generation != generation_) {
                return;
            }
            --queued_;
            transmitted_.append(byte);
            if (peer_) {
                peer_->hostBytesWritten(QByteArray(1, byte), settings);
            }
        });
    }
}

void SimulatedSerialPort::receiveFromDrive(const QByteArray& bytes) {
    if (!open_ || bytes.isEmpty()) {
        return;
    }
    input_.append(bytes);
    lastEvent_ = CommEvent::Receive;
    if (!noticePending_) {
        noticePending_ = true;
        time_.post([this] {
            noticePending_ = false;
            // As on a real port, bytes read meanwhile raise no notice.
            if (handler_ && !input_.isEmpty()) {
                handler_();
            }
        });
    }
}

}  // namespace kestrel::drivesim
