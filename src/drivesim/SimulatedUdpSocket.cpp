#include "SimulatedUdpSocket.h"

#include <QHostAddress>

namespace kestrel::drivesim {

UdpBindResult SimulatedUdpSocket::bind(quint16 localPort) {
    if (bindResult_.error == 0) {
        boundPort_ = localPort;
    }
    return bindResult_;
}

namespace {

// Faults are counted over data datagrams (type 17) only.
bool isData(const QByteArray& datagram) {
    return datagram.size() >= 2 && datagram[0] == 0 && datagram[1] == 17;
}

}  // namespace

bool SimulatedUdpSocket::send(const QByteArray& datagram, QString* error) {
    if (QHostAddress(remoteHost_).isNull()) {
        if (error) {
            *error = QStringLiteral("Invalid remote host \"%1\"").arg(remoteHost_);
        }
        return false;
    }
    const auto fault = isData(datagram) ? dataFaults.find(dataSent_++) : dataFaults.end();
    if (fault == dataFaults.end()) {
        deliver(datagram);
    } else if (fault->second >= 0) {
        time_.at(time_.now() + fault->second, [this, datagram] { deliver(datagram); });
    }
    return true;
}

void SimulatedUdpSocket::deliver(const QByteArray& datagram) {
    sent_.push_back({time_.now(), remoteHost_, remotePort_, datagram});
    if (!onSend) {
        return;  // nothing to reach: no arrival on the clock either
    }
    time_.at(time_.now() + latency, [this, datagram, host = remoteHost_, port = remotePort_] {
        if (onSend) {  // the peer may have gone meanwhile
            onSend(datagram, host, port);
        }
    });
}

void SimulatedUdpSocket::receiveFromNetwork(const QByteArray& datagram, const QString& sender) {
    inbox_.push_back({datagram, sender});
    time_.post([this] {
        if (!inbox_.empty() && handler_) {
            handler_();
        }
    });
}

ReceivedDatagram SimulatedUdpSocket::readDatagram() {
    if (inbox_.empty()) {
        return {};
    }
    const ReceivedDatagram d = inbox_.front();
    inbox_.pop_front();
    const bool counted = isData(d.data) && !std::exchange(released_, false);
    const auto fault = counted ? ackFaults.find(acksArrived_++) : ackFaults.end();
    if (fault == ackFaults.end()) {
        return d;
    }
    if (fault->second >= 0) {
        time_.at(time_.now() + fault->second, [this, d] {
            released_ = true;
            receiveFromNetwork(d.data, d.sender);
        });
    }
    return {QByteArray(), d.sender};
}

}  // namespace kestrel::drivesim
