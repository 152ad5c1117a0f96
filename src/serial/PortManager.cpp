#include "PortManager.h"

#include "PortAccess.h"
#include "platform/AppInfo.h"

namespace kestrel {

QString PortManager::openFailureMessage(CommError error) {
    switch (error) {
        case CommError::InvalidPortNumber:
            return QStringLiteral("Invalid Port Number");
        case CommError::PortAlreadyOpen:
            return QStringLiteral("Port already open\r(Already is use?)");
        case CommError::HardwareNotAvailable:
            return QStringLiteral("The hardware is not available (locked by another device)");
        case CommError::DeviceNotOpen:
            return QStringLiteral("The device is not open");
        case CommError::DeviceAlreadyOpen:
            return QStringLiteral("The device is already open");
        default:
            return QStringLiteral("Unknown error trying to Connect Comm Port");
    }
}

bool PortManager::OpenCommPort(int portNumber, const QString& settings, int handshaking) {
    if (port_.isOpen()) {
        port_.close();
    }
    const CommError error = port_.open(portNumber, settings, handshaking);
    if (error != CommError::None) {
        report_.showMessage(openFailureMessage(error));
    }
    // A refused opening is most often a first use on a machine where the user
    // is not yet in the port's group; the box keeps its text, the log says
    // what to do, once.
    if (error == CommError::HardwareNotAvailable && !accessHintShown_) {
        accessHintShown_ = true;
        report_.appendStatus(portAccessHint() + QStringLiteral("\r\n"));
    }
    // Said once, however often the same port is chosen again.
    if (const QString notice = port_.openNotice(); !notice.isEmpty() && notice != noticeShown_) {
        noticeShown_ = notice;
        report_.appendStatus(notice + QStringLiteral("\r\n"));
    }
    return port_.isOpen();
}

void PortManager::CommList_Click() {
    if (choices_.link != Link::Serial) {
        return;
    }
    state_.CommPortNumber = choices_.portChoice;
    if (state_.CommPortNumber <= 0) {
        // "NO COMM": the port that is open stays open.
        return;
    }
    if (OpenCommPort(state_.CommPortNumber, state_.CommSettings, Handshaking::None)) {
        setCommListIndex(state_.CommPortNumber);
    } else {
        setCommListIndex(0);
        state_.CommPortNumber = 0;
    }
}

void PortManager::setCommListIndex(int index) {
    if (choices_.portChoice == index) {
        return;
    }
    choices_.portChoice = index;
    report_.showPortChoice(index);
    CommList_Click();
}

void PortManager::optSerial_Click() {
    report_.setTitle(AppInfo::titleWithVersion());
    CommList_Click();
}

void PortManager::selectSerial() {
    if (choices_.link != Link::Serial) {
        chooseSerialLink();
        optSerial_Click();
    }
}

void PortManager::chooseSerialLink() {
    choices_.link = Link::Serial;
    report_.showLink(Link::Serial);
}

void PortManager::switchToSerialKeepingPort() {
    if (choices_.link == Link::Serial) {
        return;
    }
    chooseSerialLink();
    const int chosen = choices_.portChoice;
    if (chosen > 0 && port_.isOpen() && port_.portNumber() == chosen) {
        state_.CommPortNumber = chosen;
        report_.setTitle(AppInfo::titleWithVersion());
        return;
    }
    optSerial_Click();
}

}  // namespace kestrel
