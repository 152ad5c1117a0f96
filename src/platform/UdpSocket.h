#pragma once

#include <QByteArray>
#include <QString>
#include <deque>
#include <functional>

namespace kestrel {

struct UdpBindResult {
    int error = 0;  // 0 on success, else a Winsock-style error number
    QString description;
};

struct ReceivedDatagram {
    QByteArray data;
    QString sender;  // IPv4 address text of the sender
};

// The window's socket control Winsock1: one UDP socket.
class UdpSocket {
  public:
    virtual ~UdpSocket() = default;
    virtual UdpBindResult bind(quint16 localPort) = 0;
    virtual void setRemoteHost(const QString& host) = 0;
    virtual QString remoteHost() const = 0;
    virtual void setRemotePort(quint16 port) = 0;
    virtual quint16 remotePort() const = 0;
    // Sends one datagram to the remote host and port. Returns false and a
    // description when the platform refuses it.
    virtual bool send(const QByteArray& datagram, QString* error = nullptr) = 0;
    virtual bool hasPendingDatagram() = 0;
    virtual ReceivedDatagram readDatagram() = 0;
    // Called on the UI thread, from the event loop, when a datagram arrives.
    virtual void setArrivalHandler(std::function<void()> handler) = 0;
};

// The socket control's arrival event, once per datagram waiting in `arrived`;
// a handler that leaves a datagram unread is not called again for it here, so
// the next notice retries it instead of this looping for ever.
inline void raiseArrivals(const std::deque<ReceivedDatagram>& arrived,
                          const std::function<void()>& handler) {
    while (!arrived.empty() && handler) {
        const std::size_t before = arrived.size();
        handler();
        if (arrived.size() == before) {
            break;
        }
    }
}

}  // namespace kestrel
