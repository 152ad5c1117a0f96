#pragma once

#include <QByteArray>
#include <QString>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "Scheduler.h"
#include "platform/UdpSocket.h"

namespace kestrel::drivesim {

using Faults = std::map<int, double>;

// What sits at the other end of the simulated network: the simulated drive.
class UdpPeer {
  public:
    virtual ~UdpPeer() = default;
    // A datagram the host sent, arriving at host:port now.
    virtual void hostDatagram(const QByteArray& datagram, const QString& host, quint16 port) = 0;
};

// Winsock1 on an in-memory network, on the clock of a HostScheduler (as
// SimulatedSerialPort): sent datagrams reach the peer after a short latency;
// each datagram from the network raises one arrival notice.
class SimulatedUdpSocket final : public UdpSocket {
  public:
    explicit SimulatedUdpSocket(HostScheduler& time) : time_(time) {}

    void setBindResult(UdpBindResult result) { bindResult_ = std::move(result); }
    void setPeer(UdpPeer* peer) {
        onSend = peer ? std::bind_front(&UdpPeer::hostDatagram, peer) : decltype(onSend)();
    }
    // A datagram from `sender` arrives at the host now.
    void receiveFromNetwork(const QByteArray& datagram, const QString& sender);

    struct Sent {
        double time;
        QString host;
        quint16 port;
        QByteArray data;
    };
    const std::vector<Sent>& sent() const { return sent_; }
    int boundPort() const { return boundPort_; }
    double latency = 200e-6;
    // Called with each datagram the host sends, when it arrives; setPeer sets it.
    std::function<void(const QByteArray&, const QString&, quint16)> onSend;
    // By index of data datagram sent (resends too) or of acknowledgement arriving: seconds
    // late, or lost when negative. Held back, an acknowledgement reads empty; it counts once.
    Faults dataFaults, ackFaults;

    UdpBindResult bind(quint16 localPort) override;
    void setRemoteHost(const QString& host) override { remoteHost_ = host; }
    QString remoteHost() const override { return remoteHost_; }
    void setRemotePort(quint16 port) override { remotePort_ = port; }
    quint16 remotePort() const override { return remotePort_; }
    bool send(const QByteArray& datagram, QString* error) override;
    bool hasPendingDatagram() override { return !inbox_.empty(); }
    ReceivedDatagram readDatagram() override;
    void setArrivalHandler(std::function<void()> handler) override {
        handler_ = std::move(handler);
    }

  private:
    void deliver(const QByteArray& datagram);
    HostScheduler& time_;
    UdpBindResult bindResult_;
    int boundPort_ = -1;
    QString remoteHost_;
    quint16 remotePort_ = 0;
    std::deque<ReceivedDatagram> inbox_;
    std::vector<Sent> sent_;
    std::function<void()> handler_;
    int dataSent_ = 0;
    int acksArrived_ = 0;
    bool released_ = false;
};

}  // namespace kestrel::drivesim
