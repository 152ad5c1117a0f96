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

PingResult DriveAddress::Ping_Click() {
    const PingResult result = askDrive();
    report_.showMessage(result.message);
    return result;
}

PingResult DriveAddress::askDrive() {
    using End = PingResult::End;
    if (!channel_.aimAtDrive()) {
        return {End::InvalidAddress, {}, QStringLiteral("Invalid drive IP address")};
    }
    state_.PingReplyData.clear();
    QString error;
    if (!channel_.sendToDrive(driveQuery(), &error)) {
        return {End::NotSent,
                {},
                error.isEmpty() ? QStringLiteral("The drive query could not be sent") : error};
    }
    // The drive's type-99 answer lands in PingReplyData while this waits.
    waits_.Delay(kPingWaitMs);
    const QByteArray& answer = state_.PingReplyData;
    return {answer.size() >= 4 ? End::Answered : End::NoAnswer, answer, PingAnswerMessage(answer)};
}

}  // namespace kestrel
