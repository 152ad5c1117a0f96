#include "PortManager.h"

#include "platform/AppInfo.h"

namespace kestrel {

QString PortManager::openFailureMessage(int error) {
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
    const int error = port_.open(portNumber, settings, handshaking);
    if (error != CommError::None) {
        messages_.show(openFailureMessage(error));
    }
    return port_.isOpen();
}

void PortManager::CommList_Click() {
    if (!view_.isSerialSelected()) {
        return;
    }
    state_.CommPortNumber = view_.commListIndex();
    if (state_.CommPortNumber <= 0) {
        // "NO COMM": the port that is open stays open.
        return;
    }
    if (OpenCommPort(state_.CommPortNumber, state_.CommSettings, Handshaking::None)) {
        view_.setCommListIndex(state_.CommPortNumber);
    } else {
        view_.setCommListIndex(0);
        state_.CommPortNumber = 0;
    }
}

void PortManager::optSerial_Click() {
    view_.setIpVisible(false);
    view_.setCommListVisible(true);
    view_.setPingVisible(false);
    view_.setWindowCaption(AppInfo::titleWithVersion());
    CommList_Click();
}

}  // namespace kestrel
