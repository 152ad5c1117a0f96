#include "QtUdpHub.h"

#include "QtUdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <cerrno>
#include <cstring>

namespace kestrel {

QtUdpHub::QtUdpHub() {
    QObject::connect(&socket_, &QUdpSocket::readyRead, this, [this] { onReadyRead(); });
}

UdpBindResult QtUdpHub::bind(quint16 localPort) {
    if (socket_.bind(QHostAddress::AnyIPv4, localPort)) {
        bound_ = {};
    } else {
        bound_ = {socket_.error() == QAbstractSocket::AddressInUseError ? 10048 : 10022,
                  socket_.errorString()};
    }
    return bound_;
}

bool QtUdpHub::sendTo(const QByteArray& datagram, const QString& host, quint16 port,
                      QString* error) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.toLatin1().constData(), &to.sin_addr) != 1) {
        if (error) {
            *error = QStringLiteral("Invalid remote host \"%1\"").arg(host);
        }
        return false;
    }
    const ssize_t sent =
        ::sendto(int(socket_.socketDescriptor()), datagram.constData(), size_t(datagram.size()), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent != datagram.size()) {
        if (error) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
        }
        return false;
    }
    return true;
}

QStringList QtUdpHub::takeStrangers() {
    QMutexLocker lock(&mutex_);
    return std::exchange(strangersNew_, {});
}

void QtUdpHub::attach(const QString& address, HubUdpSocket* socket) {
    QMutexLocker lock(&mutex_);
    drives_.insert(address, socket);
}

void QtUdpHub::detach(const QString& address, HubUdpSocket* socket) {
    QMutexLocker lock(&mutex_);
    if (drives_.value(address) == socket) {
        drives_.remove(address);
    }
}

void QtUdpHub::onReadyRead() {
    while (socket_.hasPendingDatagrams()) {
        const QNetworkDatagram d = socket_.receiveDatagram();
        const QString sender = senderText(d.senderAddress());
        QMutexLocker lock(&mutex_);
        // Posted under the lock: a socket detaches (under the lock) before it
        // goes, and what was posted to it then goes with it.
        if (HubUdpSocket* drive = drives_.value(sender)) {
            QMetaObject::invokeMethod(
                drive,
                [drive, datagram = ReceivedDatagram{d.data(), sender}]() mutable {
                    drive->deliver(std::move(datagram));
                },
                Qt::QueuedConnection);
        } else if (!strangersSeen_.contains(sender)) {
            strangersSeen_.insert(sender);
            strangersNew_ << sender;
        }
    }
}

HubUdpSocket::~HubUdpSocket() {
    if (attached_) {
        hub_.detach(address_, this);
    }
}

UdpBindResult HubUdpSocket::bind(quint16) {
    if (hub_.bound().error == 0 && !attached_) {
        hub_.attach(address_, this);
        attached_ = true;
    }
    return hub_.bound();
}

ReceivedDatagram HubUdpSocket::readDatagram() {
    if (arrived_.empty()) {
        return {};
    }
    ReceivedDatagram d = std::move(arrived_.front());
    arrived_.pop_front();
    return d;
}

void HubUdpSocket::deliver(ReceivedDatagram datagram) {
    arrived_.push_back(std::move(datagram));
    raiseArrivals(arrived_, handler_);
}

}  // namespace kestrel
