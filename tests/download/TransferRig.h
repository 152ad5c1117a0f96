#pragma once

#include <map>

#include "../drive-sim/EngineBench.h"
#include "Doubles.h"
#include "SimulatedDriveLink.h"
#include "ethernet/Datagram.h"

namespace kestrel::testing {

// By index of data datagram sent (resends included) or of acknowledgement
// arriving: seconds late, or lost when negative.
using Faults = std::map<int, double>;

// The host's UDP socket with faults on the host's side of the network.
class LossyUdpSocket final : public UdpSocket {
  public:
    LossyUdpSocket(FakeUdpSocket& inner, SimTime& time) : inner_(inner), time_(time) {}
    Faults data, acks;

    UdpBindResult bind(quint16 port) override { return inner_.bind(port); }
    void setRemoteHost(const QString& host) override { inner_.setRemoteHost(host); }
    QString remoteHost() const override { return inner_.remoteHost(); }
    void setRemotePort(quint16 port) override { inner_.setRemotePort(port); }
    quint16 remotePort() const override { return inner_.remotePort(); }
    bool hasPendingDatagram() override { return inner_.hasPendingDatagram(); }
    void setArrivalHandler(std::function<void()> h) override {
        inner_.setArrivalHandler(std::move(h));
    }
    bool send(const QByteArray& d, QString* error) override {
        const auto fault = isData(d) ? data.find(dataSent_++) : data.end();
        if (fault == data.end()) {
            return inner_.send(d, error);
        }
        if (fault->second >= 0) {
            time_.after(fault->second, [this, d] { inner_.send(d, nullptr); });
        }
        return true;
    }
    // What is held back or lost leaves an empty datagram, which the host ignores.
    ReceivedDatagram readDatagram() override {
        const ReceivedDatagram d = inner_.readDatagram();
        const bool counted = isData(d.data) && !std::exchange(released_, false);
        const auto fault = counted ? acks.find(acksArrived_++) : acks.end();
        if (fault == acks.end()) {
            return d;
        }
        if (fault->second >= 0) {
            time_.after(fault->second, [this, d] {
                released_ = true;
                inner_.receiveFromNetwork(d.data, d.sender);
            });
        }
        return {QByteArray(), d.sender};
    }

  private:
    static bool isData(const QByteArray& d) {
        return datagramType(d) == quint16(DatagramType::Data);
    }
    FakeUdpSocket& inner_;
    SimTime& time_;
    int dataSent_ = 0;
    int acksArrived_ = 0;
    bool released_ = false;
};

// Sends `image` in blocks as the download does; the first result other than 0, else 0.
inline int sendImage(Session& session, const QByteArray& image, int blockSize) {
    for (qsizetype at = 0; at < image.size(); at += blockSize) {
        ++session.downloadState().BlockCount;
        const QByteArray block = image.mid(at, blockSize);
        if (const int result = session.dataBlockTransfer().SendDataBlock(
                block, static_cast<int>(block.size()) - 1)) {
            return result;
        }
    }
    return 0;
}

// The session on doubles behind LossyUdpSocket with the simulated drive at
// 127.0.0.1, on the link chosen.
struct Rig {
    explicit Rig(drivesim::DriveOptions o = {}, bool ethernet = false)
        : drive(tp, (o.ipAddress = QStringLiteral("127.0.0.1"), o)) {
        tp.serial.setOpenResult(1, 0);
        session.Form_Load();
        if (ethernet) {
            session.editAddress(drive.address());
            session.chooseLink(Link::Ethernet);
        }
    }
    // The drive received the image byte for byte, each byte once.
    bool confirmed() const {
        const auto v = drive.lastVerdict();
        return v && v->identical && v->duplicates == 0 && v->overruns == 0;
    }

    TestPlatform tp;
    LossyUdpSocket udp{tp.udp, tp.time};
    Platform platform{tp.time, tp.pump, tp.serial, udp, tp.fileDialog, tp.settings};
    RecordingObserver seen;
    Session session{platform, seen};
    SimulatedDriveLink drive;
};

}  // namespace kestrel::testing
