#include "FakeSerialPort.h"

#include "platform/SerialSettings.h"

namespace kestrel::testing {

int FakeSerialPort::open(int portNumber, const QString& settings, int handshaking) {
    close();
    const int error = openResults_.value(portNumber, CommError::InvalidPortNumber);
    openings_.push_back({portNumber, settings, handshaking});
    if (error != CommError::None) {
        return error;
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

void FakeSerialPort::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    ++generation_;  // bytes still queued for output are lost with the port
    queued_ = 0;
    input_.clear();
}

bool FakeSerialPort::setSettings(const QString& settings) {
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

QByteArray FakeSerialPort::read(int maxBytes) {
    if (!open_) {
        return {};
    }
    if (input_.isEmpty()) {
        // A poll of an empty port costs a little time, which is what lets a
        // polling loop see the drive's next byte or its own time-out.
        time_.advanceBy(time_.pollStep);
    }
    const qsizetype n =
        maxBytes <= 0 ? input_.size() : std::min<qsizetype>(maxBytes, input_.size());
    QByteArray taken = input_.left(n);
    input_.remove(0, n);
    return taken;
}

void FakeSerialPort::waitForBytes(double seconds) {
    if (!open_ || !input_.isEmpty() || seconds <= 0) {
        return;
    }
    ++blockingWaits;
    const double deadline = time_.now() + seconds;
    while (input_.isEmpty() && time_.now() < deadline) {
        time_.advanceTo(std::min(deadline, time_.nextActionTime()));
    }
}

void FakeSerialPort::write(const QByteArray& bytes) {
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

void FakeSerialPort::receiveFromDrive(const QByteArray& bytes) {
    if (!open_ || bytes.isEmpty()) {
        return;
    }
    input_.append(bytes);
    lastEvent_ = CommEvent::Receive;
    if (!noticePending_) {
        noticePending_ = true;
        time_.post([this] {
            noticePending_ = false;
            if (handler_) {
                handler_();
            }
        });
    }
}

}  // namespace kestrel::testing
