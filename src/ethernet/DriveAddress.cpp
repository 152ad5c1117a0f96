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
    if (!ValidIP(choices_.address)) {
        report_.showMessage(
            QStringLiteral("Invalid IP address.  Example of a valid address: 192.168.0.20"));
        return;
    }
    ShowIPTitleBar();
}

void DriveAddress::ShowIPTitleBar() {
    report_.setTitle(choices_.address + QLatin1Char(' ') + AppInfo::titleWithVersion());
}

void DriveAddress::optEthernet_Click() {
    ShowIPTitleBar();
}

void DriveAddress::selectEthernet() {
    if (choices_.link != Link::Ethernet) {
        choices_.link = Link::Ethernet;
        report_.showLink(Link::Ethernet);
        optEthernet_Click();
    }
}

void DriveAddress::Ping_Click() {
    if (!channel_.aimAtDrive()) {
        report_.showMessage(QStringLiteral("Invalid drive IP address"));
        return;
    }
    state_.PingReplyData.clear();
    QString error;
    if (!channel_.sendToDrive(driveQuery(), &error)) {
        report_.showMessage(error.isEmpty() ? QStringLiteral("The drive query could not be sent")
                                            : error);
        return;
    }
    // The drive's type-99 answer lands in PingReplyData while this waits.
    waits_.Delay(kPingWaitMs);
    report_.showMessage(PingAnswerMessage(state_.PingReplyData));
}

}  // namespace kestrel
