#include "SimulatedSerialPort.h"

#include "platform/SerialSettings.h"

namespace kestrel::drivesim {

void SimulatedSerialPort::setModel(PortModel* model) {
    model_ = model;
    if (model_) {
        // Every model keeps the bytes in order.
        model_->connect(
            [this](char byte) {
                const QString settings = writtenUnder_.empty() || !model_->settingsTravelWithBytes()
                                             ? settings_
                                             : writtenUnder_.front();
                if (!writtenUnder_.empty()) {
                    writtenUnder_.pop_front();
                }
                sentToDrive(byte, settings);
            },
            [this](const QByteArray& bytes) { arrived(bytes); });
        model_->setCharacterTime(characterTime());
    }
}

double SimulatedSerialPort::characterTime() const {
    const auto line = parseLineSettings(settings_);
    return line ? characterSeconds(*line) : 10.0 / 9600;
}

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
    if (model_) {
        model_->setCharacterTime(characterTime());
        model_->setXonXoff(handshaking == Handshaking::XonXoff);
    }
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
    if (model_) {
        model_->clear();
        writtenUnder_.clear();
    }
}

void SimulatedSerialPort::setHandshaking(int mode) {
    handshaking_ = mode;
    if (model_ && open_) {
        model_->setXonXoff(mode == Handshaking::XonXoff);
    }
}

int SimulatedSerialPort::bytesQueuedForOutput() {
    return model_ ? model_->outputCount() : queued_;
}

bool SimulatedSerialPort::setSettings(const QString& settings) {
    if (!parseLineSettings(settings)) {
        return false;
    }
    letHiddenBytesOut();
    settings_ = settings;
    settingsHistory_ << settings;
    if (model_) {
        model_->setCharacterTime(characterTime());
    }
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
    if (!model_) {
        time_.runUntilSent(time_.now() + seconds, [this] { return queued_ == 0; });
        return;
    }
    // As long as the real port sleeps: its count tells it no more than this.
    const double sleep = drainSleep(model_->outputCount(), characterTime(), seconds, policy_);
    if (sleep > 0) {
        ++drainSleeps;
        time_.runUntil(time_.now() + sleep, [] { return false; });
    }
}

// As the real port does before a change of bit rate: the count falls to 0,
// then the bytes it does not show get their time to leave.
void SimulatedSerialPort::letHiddenBytesOut() {
    if (!model_ || !open_ || policy_.hiddenBytes <= 0) {
        return;
    }
    time_.runUntil(time_.now() + 0.1, [this] { return model_->outputCount() == 0; });
    const double rest = hiddenBytesTime(policy_, characterTime());
    time_.runUntil(time_.now() + rest, [] { return false; });
}

void SimulatedSerialPort::sentToDrive(char byte, const QString& settings) {
    transmitted_.append(byte);
    if (peer_) {
        peer_->hostBytesWritten(QByteArray(1, byte), settings);
    }
}

void SimulatedSerialPort::write(const QByteArray& bytes) {
    if (!open_) {
        return;
    }
    if (model_) {
        writtenUnder_.insert(writtenUnder_.end(), bytes.size(), settings_);
        model_->hostWrote(bytes);
        // As the real port paces a writer that may run ahead of the line.
        const double hold = policy_.writeAhead > 0
                                ? paceWrite(pacedLineFreeAt_, bytes.size(), time_.now(),
                                            characterTime(), policy_.writeAhead, policy_.writeAhead)
                                : 0.0;
        if (hold > 0) {
            ++model_->writerHolds;
            time_.runUntil(time_.now() + hold, [] { return false; });
        }
        return;
    }
    const double perByte = characterTime();
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
            sentToDrive(byte, settings);
        });
    }
}

void SimulatedSerialPort::receiveFromDrive(const QByteArray& bytes) {
    if (!open_ || bytes.isEmpty()) {
        return;
    }
    if (model_) {
        for (char byte : bytes) {
            model_->fromDrive(byte);
        }
        return;
    }
    arrived(bytes);
}

void SimulatedSerialPort::arrived(const QByteArray& bytes) {
    if (!open_) {
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
