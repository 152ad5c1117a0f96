#include "FakeUdpSocket.h"

#include <QHostAddress>

namespace kestrel::testing {

UdpBindResult FakeUdpSocket::bind(quint16 localPort) {
    if (bindResult_.error == 0) {
        boundPort_ = localPort;
    }
    return bindResult_;
}

bool FakeUdpSocket::send(const QByteArray& datagram, QString* error) {
    if (QHostAddress(remoteHost_).isNull()) {
        if (error) {
            *error = QStringLiteral("Invalid remote host \"%1\"").arg(remoteHost_);
        }
        return false;
    }
    sent_.push_back({time_.now(), remoteHost_, remotePort_, datagram});
    if (peer_) {
        const QString host = remoteHost_;
        const quint16 port = remotePort_;
        time_.after(latency,
                    [this, datagram, host, port] { peer_->hostDatagram(datagram, host, port); });
    }
    return true;
}

void FakeUdpSocket::receiveFromNetwork(const QByteArray& datagram, const QString& sender) {
    inbox_.push_back({datagram, sender});
    time_.post([this] {
        if (!inbox_.empty() && handler_) {
            handler_();
        }
    });
}

ReceivedDatagram FakeUdpSocket::readDatagram() {
    if (inbox_.empty()) {
        return {};
    }
    ReceivedDatagram d = inbox_.front();
    inbox_.pop_front();
    return d;
}

}  // namespace kestrel::testing
