#include "SerialBlockSender.h"

namespace kestrel {

namespace {

const QString kSendTimedOut = QStringLiteral("Timed Out waiting to send Data");

}  // namespace

BlockResult SerialBlockSender::send(QByteArrayView block) {
    for (qsizetype i = 0; i < block.size();) {
        // Checked for every byte: a port closed by a nested event would
        // otherwise swallow the rest of the image unnoticed.
        if (!port_.isOpen()) {
            return BlockResult::PortNotOpen;
        }
        if (const BlockResult result = waitForOutputQueue(); result != BlockResult::Delivered) {
            return result;
        }
        if (readInput()) {
            return BlockResult::DriveError;
        }
        waits_.pump().processPending();
        if (stopping()) {
            return BlockResult::Stopped;
        }
        if (download_.TransmitHold) {
            if (const BlockResult result = waitOutHold(); result != BlockResult::Delivered) {
                return result;
            }
            continue;
        }
        holdSince_.reset();
        port_.write(QByteArray(1, block[i]));
        ++i;
    }
    return port_.isOpen() ? BlockResult::Delivered : BlockResult::PortNotOpen;
}

BlockResult SerialBlockSender::waitForOutputQueue() {
    const OutputPolicy policy = port_.outputPolicy();
    // Where the adapter obeys the drive's XOFF itself the kernel keeps it
    // from us: a hold then shows only as output that does not drain.
    const double limit = policy.chipXonXoff ? HoldLimit : OutputWait;
    const double start = now();
    while (queuedBytes(port_.bytesQueuedForOutput(), policy) > policy.writeAhead) {
        if (stopping()) {
            return BlockResult::Stopped;
        }
        if (now() - start > limit) {
            report_.appendStatus(kSendTimedOut);
            return BlockResult::SendTimeout;
        }
        port_.waitForOutputDrained(start + limit - now());
        waits_.pump().processPending();
    }
    return BlockResult::Delivered;
}

bool SerialBlockSender::readInput() {
    if (port_.bytesWaiting() <= 0) {
        return false;
    }
    // Every byte counts, not only the first of what was read: an XOFF behind
    // a "." would otherwise be lost and the drive's buffer overrun.
    const QByteArray input = port_.read(0);
    for (qsizetype k = 0; k < input.size(); ++k) {
        const auto byte = static_cast<unsigned char>(input[k]);
        // The hold limit runs from the XOFF that began the hold.
        const DriveByte kind = classifyDriveByte(byte);
        if (kind == DriveByte::HoldOn && (!download_.TransmitHold || !holdSince_)) {
            holdSince_ = now();
        } else if (kind == DriveByte::HoldOff) {
            holdSince_.reset();
        }
        if (text_.act(byte, QByteArrayView(input).sliced(k + 1))) {
            return true;
        }
    }
    return false;
}

BlockResult SerialBlockSender::waitOutHold() {
    if (!holdSince_) {
        holdSince_ = now();
    }
    const double deadline = *holdSince_ + HoldLimit;
    if (now() >= deadline) {
        report_.appendStatus(kSendTimedOut);
        return BlockResult::SendTimeout;
    }
    // Sleep in the event loop until the drive's next byte (or a click)
    // arrives; bytes already read into the port would raise no event.
    if (port_.bytesWaiting() <= 0) {
        waits_.pump().waitForEvents(deadline);
    }
    return stopping() ? BlockResult::Stopped : BlockResult::Delivered;
}

}  // namespace kestrel
