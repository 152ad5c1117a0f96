#pragma once

#include <QUdpSocket>
#include <deque>

#include "../UdpSocket.h"

class QHostAddress;

namespace kestrel {

// A datagram's sender as the system writes addresses: an IPv4 sender that
// reached a dual-stack socket is given as 127.0.0.1, not ::ffff:127.0.0.1.
QString senderText(const QHostAddress& sender);

// Winsock1 on QUdpSocket. Each arriving datagram raises the arrival handler
// once, as the socket control's data-arrival event did.
class QtUdpSocket final : public UdpSocket {
  public:
    QtUdpSocket();

    UdpBindResult bind(quint16 localPort) override;
    void setRemoteHost(const QString& host) override { remoteHost_ = host; }
    QString remoteHost() const override { return remoteHost_; }
    void setRemotePort(quint16 port) override { remotePort_ = port; }
    quint16 remotePort() const override { return remotePort_; }
    bool send(const QByteArray& datagram, QString* error = nullptr) override;
    bool hasPendingDatagram() override {
        return !arrived_.empty() || socket_.hasPendingDatagrams();
    }
    ReceivedDatagram readDatagram() override;
    void setArrivalHandler(std::function<void()> handler) override {
        handler_ = std::move(handler);
    }

  private:
    void onReadyRead();
    ReceivedDatagram receive();

    QUdpSocket socket_;
    QString remoteHost_;
    quint16 remotePort_ = 0;
    std::function<void()> handler_;
    // Taken from the socket at its notice, handed out one per handler call:
    // asking the socket again for each would cost four system calls a datagram.
    std::deque<ReceivedDatagram> arrived_;
};

}  // namespace kestrel
