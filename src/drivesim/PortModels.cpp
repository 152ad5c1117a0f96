#include "PortModels.h"

#include <algorithm>
#include <cmath>

namespace kestrel::drivesim {

namespace {

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
constexpr int kUartReceiveTrigger = 8;
constexpr int kUartFifo = 16;
constexpr int kUsbPacket = 62;  // payload of a full-speed bulk-in packet
constexpr int kGenericWrites = 2;
constexpr int kGenericWriteSize = 64;
constexpr int kAcmBuffers = 16;
constexpr int kAcmDeviceBuffer = 256;

}  // namespace

// ------------------------------------------------------------ the base

void PortModel::connect(std::function<void(char)> toDrive,
                        std::function<void(const QByteArray&)> toHost) {
    toDrive_ = std::move(toDrive);
    toHost_ = std::move(toHost);
}

void PortModel::clear() {
    ++generation_;
    hardware_.clear();
    received_.clear();
    sending_ = paused_ = ixon_ = false;
    dropQueued();
}

void PortModel::later(double delay, std::function<void()> action) {
    time_.at(time_.now() + delay, [this, generation = generation_, action = std::move(action)] {
        if (generation == generation_) {
            action();
        }
    });
}

void PortModel::transmit(char byte) {
    hardware_.push_back(byte);
    sendNext();
}

void PortModel::pauseTransmitter(bool paused) {
    paused_ = paused;
    sendNext();
}

void PortModel::sendNext() {
    if (sending_ || paused_ || hardware_.empty()) {
        return;
    }
    const char byte = hardware_.front();
    hardware_.pop_front();
    sending_ = true;
    if (hardware_.empty()) {
        transmitterEmpty();
    }
    later(characterTime_, [this, byte] {
        sending_ = false;
        if (toDrive_) {
            toDrive_(byte);
        }
        sendNext();
    });
}

void PortModel::holdReceived(char byte, double delay, int trigger, bool quietTime) {
    received_.append(byte);
    if (received_.size() >= trigger) {
        flushReceived();
    } else if (received_.size() == 1 || quietTime) {
        later(delay, [this, at = ++receivedGeneration_] {
            if (at == receivedGeneration_) {
                flushReceived();
            }
        });
    }
}

void PortModel::flushReceived() {
    ++receivedGeneration_;
    if (received_.isEmpty()) {
        return;
    }
    const QByteArray bytes = received_;
    received_.clear();
    if (toHost_) {
        toHost_(bytes);
    }
}

bool PortModel::swallowedByKernel(char byte) const {
    return ixon_ && (byte == kXon || byte == kXoff);
}

// ------------------------------------------------------------ 16550 UART

void Uart16550::hostWrote(const QByteArray& bytes) {
    kernel_.insert(kernel_.end(), bytes.begin(), bytes.end());
    if (transmitterHolds() == 0) {
        fillFifo();  // an idle FIFO raises its interrupt at once
    }
}

void Uart16550::fillFifo() {
    for (int n = 0; n < kUartFifo && !kernel_.empty(); ++n) {
        const char byte = kernel_.front();
        kernel_.pop_front();
        transmit(byte);
    }
}

void Uart16550::fromDrive(char byte) {
    // Fewer bytes than the trigger level interrupt only once the line has
    // been quiet for 4 characters; every byte restarts that time-out.
    if (swallowedByKernel(byte)) {
        return;
    }
    holdReceived(byte, 4 * characterTime_, kUartReceiveTrigger, true);
}

// ------------------------------------------------------------ USB serial

QString UsbSerialAdapter::name() const {
    return QStringLiteral("USB %1 (%2 ms latency)")
        .arg(chip_.driver)
        .arg(chip_.receiveLatency * 1e3, 0, 'f', 0);
}

double UsbSerialAdapter::nextFrame() const {
    return (std::floor(time_.now() / chip_.frame + 1e-9) + 1) * chip_.frame - time_.now();
}

void UsbSerialAdapter::hostWrote(const QByteArray& bytes) {
    kernel_.append(bytes);
    submit();
}

void UsbSerialAdapter::submit() {
    while (static_cast<int>(bus_.size()) < kGenericWrites && !kernel_.isEmpty()) {
        bus_.push_back(kernel_.left(kGenericWriteSize));
        kernel_.remove(0, bus_.back().size());
        onBus_ += static_cast<int>(bus_.back().size());
    }
    if (!bus_.empty() && !frameDue_) {
        frameDue_ = true;
        later(nextFrame(), [this] { frameEnds(); });
    }
}

// The writes on the bus complete in order at the end of a frame, as far as
// the chip has room; the rest waits for the next frame (the chip NAKs).
void UsbSerialAdapter::frameEnds() {
    frameDue_ = false;
    while (!bus_.empty() && transmitterHolds() + bus_.front().size() <= chip_.buffer) {
        for (char byte : bus_.front()) {
            transmit(byte);
        }
        onBus_ -= static_cast<int>(bus_.front().size());
        bus_.pop_front();
    }
    submit();
}

void UsbSerialAdapter::dropQueued() {
    kernel_.clear();
    bus_.clear();
    onBus_ = 0;
    frameDue_ = false;
}

void UsbSerialAdapter::fromDrive(char byte) {
    if (swallowedByKernel(byte)) {
        if (chip_.pausesOnXoff) {
            pauseTransmitter(byte == kXoff);  // the chip's own flow control
        }
        return;
    }
    holdReceived(byte, chip_.receiveLatency, kUsbPacket);
}

// ------------------------------------------------------------ CDC-ACM

void CdcAcmDevice::hostWrote(const QByteArray& bytes) {
    // Beyond the last free buffer the writer would block; the model only
    // queues, which the counts never reach byte by byte.
    buffersInUse_ = std::min(buffersInUse_ + 1, kAcmBuffers);
    const double frame = 1e-3;
    const double frameEnd = (std::floor(time_.now() / frame + 1e-9) + 1) * frame;
    busFreeAt_ = std::max(busFreeAt_, frameEnd);
    later(busFreeAt_ - time_.now(), [this, bytes] { complete(bytes); });
}

void CdcAcmDevice::complete(const QByteArray& buffer) {
    if (transmitterHolds() + buffer.size() > kAcmDeviceBuffer) {
        busFreeAt_ = time_.now() + 1e-3;
        later(1e-3, [this, buffer] { complete(buffer); });  // the device NAKs
        return;
    }
    for (char byte : buffer) {
        transmit(byte);
    }
    buffersInUse_ = std::max(buffersInUse_ - 1, 0);
}

void CdcAcmDevice::fromDrive(char byte) {
    if (swallowedByKernel(byte)) {
        return;  // nothing in the device pauses: the XOFF is simply lost
    }
    holdReceived(byte, 1e-3, kUsbPacket);
}

// ------------------------------------------------------------ pty bridge

QString PtyBridge::name() const {
    return QStringLiteral("pty bridge (%1 ms round trip)").arg(roundTrip_ * 1e3, 0, 'g', 3);
}

void PtyBridge::hostWrote(const QByteArray& bytes) {
    // The host's pacing on a pty: a write returns once its last byte has
    // started on the emulated line.
    const double hold =
        paceWrite(paceFreeAt_, bytes.size(), time_.now(), characterTime_, paceWindow, paceResume);
    for (char byte : bytes) {
        later(roundTrip_ / 2, [this, byte] { transmit(byte); });
    }
    if (hold > 0) {
        ++writerHolds;
        time_.runUntil(time_.now() + hold, [] { return false; });
    }
}

void PtyBridge::fromDrive(char byte) {
    later(roundTrip_ / 2, [this, byte] {
        if (toHost_) {
            toHost_(QByteArray(1, byte));
        }
    });
}

}  // namespace kestrel::drivesim
