#include "QtUdpSocket.h"

#include <QNetworkDatagram>

namespace kestrel {

namespace {

// Winsock's numbers for the failures a bind can meet.
int winsockError(QAbstractSocket::SocketError error) {
    switch (error) {
        case QAbstractSocket::AddressInUseError:
            return 10048;
        case QAbstractSocket::SocketAccessError:
            return 10013;
        case QAbstractSocket::SocketAddressNotAvailableError:
            return 10049;
        case QAbstractSocket::SocketResourceError:
            return 10055;
        default:
            return 10022;
    }
}

}  // namespace

QString senderText(const QHostAddress& sender) {
    bool isV4 = false;
    const quint32 v4 = sender.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : sender.toString();
}

QtUdpSocket::QtUdpSocket() {
    QObject::connect(&socket_, &QUdpSocket::readyRead, [this] { onReadyRead(); });
}

UdpBindResult QtUdpSocket::bind(quint16 localPort) {
    if (socket_.bind(QHostAddress::AnyIPv4, localPort)) {
        return {};
    }
    return {winsockError(socket_.error()), socket_.errorString()};
}

bool QtUdpSocket::send(const QByteArray& datagram, QString* error) {
    const QHostAddress address(remoteHost_);
    if (address.isNull()) {
        if (error) {
            *error = QStringLiteral("Invalid remote host \"%1\"").arg(remoteHost_);
        }
        return false;
    }
    if (socket_.writeDatagram(datagram, address, remotePort_) != datagram.size()) {
        if (error) {
            *error = socket_.errorString();
        }
        return false;
    }
    return true;
}

ReceivedDatagram QtUdpSocket::readDatagram() {
    if (arrived_.empty()) {
        return receive();
    }
    ReceivedDatagram d = std::move(arrived_.front());
    arrived_.pop_front();
    return d;
}

ReceivedDatagram QtUdpSocket::receive() {
    const QNetworkDatagram d = socket_.receiveDatagram();
    return {d.data(), senderText(d.senderAddress())};
}

void QtUdpSocket::onReadyRead() {
    // One notice per datagram; a handler that does not read leaves the rest
    // for the socket's next notice instead of looping here for ever.
    while (socket_.hasPendingDatagrams()) {
        arrived_.push_back(receive());
    }
    raiseArrivals(arrived_, handler_);
}

}  // namespace kestrel
