#pragma once

#include <map>
#include <set>

#include "../drive-sim/EngineBench.h"
#include "Doubles.h"
#include "SimulatedDriveLink.h"
#include "ethernet/Datagram.h"

namespace kestrel::testing {

// Winsock1 with faults on the host's side of the network, counted in the
// order things happen: chosen data datagrams never leave (or leave late),
// chosen acknowledgements never arrive (or arrive late).
class LossyUdpSocket final : public UdpSocket {
  public:
    LossyUdpSocket(FakeUdpSocket& inner, SimTime& time) : inner_(inner), time_(time) {}

    std::set<int> lostData;          // by index of data datagram sent, resends included
    std::map<int, double> lateData;  // index -> seconds late
    std::set<int> lostAcks;          // by index of acknowledgement arriving
    std::map<int, double> lateAcks;  // index -> seconds late
    int dataSent = 0;
    int acksArrived = 0;

    UdpBindResult bind(quint16 port) override { return inner_.bind(port); }
    void setRemoteHost(const QString& host) override { inner_.setRemoteHost(host); }
    QString remoteHost() const override { return inner_.remoteHost(); }
    void setRemotePort(quint16 port) override { inner_.setRemotePort(port); }
    quint16 remotePort() const override { return inner_.remotePort(); }
    bool hasPendingDatagram() override { return inner_.hasPendingDatagram(); }
    void setArrivalHandler(std::function<void()> handler) override {
        inner_.setArrivalHandler(std::move(handler));
    }

    bool send(const QByteArray& datagram, QString* error) override {
        if (datagramType(datagram) != quint16(DatagramType::Data)) {
            return inner_.send(datagram, error);
        }
        const int index = dataSent++;
        if (lostData.count(index)) {
            return true;
        }
        if (lateData.count(index)) {
            time_.after(lateData[index], [this, datagram] { inner_.send(datagram, nullptr); });
            return true;
        }
        return inner_.send(datagram, error);
    }

    ReceivedDatagram readDatagram() override {
        ReceivedDatagram d = inner_.readDatagram();
        if (datagramType(d.data) != quint16(DatagramType::Data)) {
            return d;
        }
        if (released_ > 0) {
            --released_;
            return d;
        }
        // What is held back or lost leaves an empty datagram from the same
        // sender, which the dispatcher ignores.
        const ReceivedDatagram nothing{QByteArray(), d.sender};
        const int index = acksArrived++;
        if (lateAcks.count(index)) {
            time_.after(lateAcks[index], [this, d] {
                ++released_;
                inner_.receiveFromNetwork(d.data, d.sender);
            });
            return nothing;
        }
        return lostAcks.count(index) ? nothing : d;
    }

  private:
    FakeUdpSocket& inner_;
    SimTime& time_;
    int released_ = 0;
};

// The session on doubles, its UDP socket behind LossyUdpSocket, with the
// simulated drive attached and the Ethernet link chosen.
struct EthernetRig {
    static QString driveAddress() { return QStringLiteral("192.168.0.20"); }

    explicit EthernetRig(drivesim::DriveOptions options)
        : drive(tp, withAddress(std::move(options))) {
        tp.serial.setOpenResult(1, 0);
        session.Form_Load();
        session.editAddress(driveAddress());
        session.driveAddress().selectEthernet();
    }
    // The drive's own "end of image" silence must outlast the host's waits
    // for acknowledgements and resends.
    static drivesim::DriveOptions withAddress(drivesim::DriveOptions options) {
        options.ipAddress = driveAddress();
        options.quietTime = 60.0;
        return options;
    }
    // The drive's boot loader takes an image from here on, as in a download.
    void startDownload() {
        session.udpChannel().UDP_DCLcommand("B5827", 0);
        session.downloadState().DataPacketsSent = 0;
        transfer().SendStartPacket();
    }
    int sendBlock(const QByteArray& block) {
        ++session.downloadState().BlockCount;
        return transfer().SendDataBlock(block, static_cast<int>(block.size()) - 1);
    }
    // Sends `image` in blocks; the first result other than 0, else 0.
    int sendImage(const QByteArray& image, int blockSize = 200) {
        for (qsizetype at = 0; at < image.size(); at += blockSize) {
            if (const int result = sendBlock(image.mid(at, blockSize)); result != 0) {
                return result;
            }
        }
        return 0;
    }
    // Lets the drive see the end of the image and judge it.
    std::optional<drivesim::Verdict> verdict() {
        session.waits().WaitMs(drive.drive().options().quietTime * 1000 + 500);
        return drive.lastVerdict();
    }
    DataBlockTransfer& transfer() { return session.dataBlockTransfer(); }
    double now() const { return tp.time.now(); }

    TestPlatform tp;
    LossyUdpSocket udp{tp.udp, tp.time};
    Platform platform{tp.time, tp.pump, tp.serial, udp, tp.fileDialog, tp.settings};
    RecordingObserver seen;
    Session session{platform, seen};
    SimulatedDriveLink drive;
};

}  // namespace kestrel::testing
