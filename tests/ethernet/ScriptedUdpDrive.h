#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <vector>

#include "Bytes.h"
#include "Doubles.h"

namespace kestrel::testing {

// A drive on the simulated network: it records what the host sends and
// answers the requests it has been scripted for, from its own address.
class ScriptedUdpDrive final : public UdpPeer {
  public:
    struct Received {
        double time;
        QByteArray data;
        QString host;
        quint16 port;
    };

    ScriptedUdpDrive(TestPlatform& tp, QString address) : tp_(tp), address_(std::move(address)) {
        tp_.udp.setPeer(this);
    }
    ~ScriptedUdpDrive() override { tp_.udp.setPeer(nullptr); }

    // Answers every `request` with `reply`, `delay` seconds after it arrives.
    void answer(const QByteArray& request, const QByteArray& reply, double delay = 0.002) {
        script_.insert(request, {reply, delay});
    }
    // The drive is unplugged: it stops answering `request`.
    void forget(const QByteArray& request) { script_.remove(request); }

    void hostDatagram(const QByteArray& datagram, const QString& host, quint16 port) override {
        received.push_back({tp_.time.now(), datagram, host, port});
        if (host != address_ || !script_.contains(datagram)) {
            return;
        }
        const auto [reply, delay] = script_.value(datagram);
        tp_.time.after(delay, [this, r = reply] { tp_.udp.receiveFromNetwork(r, address_); });
    }

    std::vector<Received> received;

  private:
    struct Answer {
        QByteArray reply;
        double delay;
    };
    TestPlatform& tp_;
    QString address_;
    QMap<QByteArray, Answer> script_;
};

}  // namespace kestrel::testing
