#pragma once

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QUdpSocket>
#include <deque>

#include "../UdpSocket.h"

namespace kestrel {

class HubUdpSocket;

// One UDP endpoint shared by several drives' sessions, each running in a
// thread of its own. The drives' protocol fixes the host's port, so there can
// be only one socket; what arrives is handed to the session of the drive that
// sent it. Lives in the main thread, whose event loop reads the socket.
class QtUdpHub final : public QObject {
  public:
    QtUdpHub();
    UdpBindResult bind(quint16 localPort);
    const UdpBindResult& bound() const { return bound_; }
    // From any thread: one datagram to `host`:`port`, straight through the
    // socket's descriptor (the socket object itself belongs to the main thread).
    bool sendTo(const QByteArray& datagram, const QString& host, quint16 port, QString* error);
    // Senders that were no drive's, each once: for a line of the station's own.
    QStringList takeStrangers();

  private:
    friend class HubUdpSocket;
    void attach(const QString& address, HubUdpSocket* socket);
    void detach(const QString& address, HubUdpSocket* socket);
    void onReadyRead();

    QUdpSocket socket_;
    UdpBindResult bound_{10022, QStringLiteral("not bound")};
    QMutex mutex_;
    QHash<QString, HubUdpSocket*> drives_;
    QSet<QString> strangersSeen_;
    QStringList strangersNew_;
};

// One drive's view of the hub, in the drive's thread: Winsock1 for a session
// that talks to the drive at `address` only.
class HubUdpSocket final : public QObject, public UdpSocket {
  public:
    HubUdpSocket(QtUdpHub& hub, const QString& address) : hub_(hub), address_(address) {}
    ~HubUdpSocket() override;

    UdpBindResult bind(quint16 localPort) override;
    void setRemoteHost(const QString& host) override { remoteHost_ = host; }
    QString remoteHost() const override { return remoteHost_; }
    void setRemotePort(quint16 port) override { remotePort_ = port; }
    quint16 remotePort() const override { return remotePort_; }
    bool send(const QByteArray& datagram, QString* error = nullptr) override {
        return hub_.sendTo(datagram, remoteHost_, remotePort_, error);
    }
    bool hasPendingDatagram() override { return !arrived_.empty(); }
    ReceivedDatagram readDatagram() override;
    void setArrivalHandler(std::function<void()> handler) override {
        handler_ = std::move(handler);
    }

  private:
    friend class QtUdpHub;
    // In this socket's thread, from its event loop.
    void deliver(ReceivedDatagram datagram);

    QtUdpHub& hub_;
    const QString address_;
    bool attached_ = false;
    QString remoteHost_;
    quint16 remotePort_ = 0;
    std::function<void()> handler_;
    std::deque<ReceivedDatagram> arrived_;
};

}  // namespace kestrel
