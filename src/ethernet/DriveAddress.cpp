#include "DriveAddress.h"

#include "AddressRules.h"
#include "Datagram.h"
#include "platform/AppInfo.h"

namespace kestrel {

namespace {

// How long Ping gives the drive to answer, in milliseconds.
constexpr double kPingWaitMs = 100;

}  // namespace

void DriveAddress::txtIP_LostFocus() {
    if (!ValidIP(view_.ipText())) {
        messages_.show(
            QStringLiteral("Invalid IP address.  Example of a valid address: 192.168.0.20"));
        return;
    }
    ShowIPTitleBar();
}

void DriveAddress::ShowIPTitleBar() {
    view_.setWindowCaption(view_.ipText() + QLatin1Char(' ') + AppInfo::titleWithVersion());
}

void DriveAddress::optEthernet_Click() {
    view_.setIpVisible(true);
    ShowIPTitleBar();
    view_.setCommListVisible(false);
    view_.setPingVisible(true);
}

void DriveAddress::Ping_Click() {
    const QString address = view_.ipText();
    if (!ValidIP(address)) {
        messages_.show(QStringLiteral("Invalid drive IP address"));
        return;
    }
    state_.PingReplyData.clear();
    socket_.setRemoteHost(address);
    QString error;
    if (!socket_.send(driveQuery(), &error)) {
        messages_.show(error.isEmpty() ? QStringLiteral("The drive query could not be sent")
                                       : error);
        return;
    }
    // The drive's type-99 answer lands in PingReplyData while this waits.
    waits_.Delay(kPingWaitMs);
    messages_.show(PingAnswerMessage(state_.PingReplyData));
}

}  // namespace kestrel
