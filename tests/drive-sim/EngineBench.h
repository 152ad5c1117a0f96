#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <vector>

#include "SimTime.h"
#include "SimulatedDrive.h"

namespace kestrel::testing {

// The drive engine alone on simulated time: the test plays the host, handing
// bytes and datagrams straight to the engine and collecting what comes back.
class EngineBench final : public drivesim::Scheduler, public drivesim::DriveTransport {
  public:
    struct Sent {
        double time;
        QByteArray data;
    };

    explicit EngineBench(drivesim::DriveOptions options = {}) : drive(*this, *this, options) {}

    double now() const override { return time.now(); }
    void at(double t, std::function<void()> action) override { time.at(t, std::move(action)); }
    void deliverSerialByte(char byte) override {
        serial.push_back({time.now(), QByteArray(1, byte)});
    }
    void deliverDatagram(const QByteArray& datagram, const drivesim::Endpoint& to) override {
        datagrams.push_back({time.now(), datagram});
        lastEndpoint = to;
    }

    // The host types `text` at `bitRate`, one character time apart, and the
    // clock runs on `settle` seconds after the last character.
    void type(const QByteArray& text, int bitRate = 9600, double settle = 0.05) {
        const double perByte = 10.0 / bitRate;
        double t = time.now();
        for (char c : text) {
            t += perByte;
            time.at(t, [this, c, bitRate] { drive.hostSerialBytes(QByteArray(1, c), bitRate); });
        }
        time.advanceTo(t + settle);
    }
    // One datagram from the host; the clock runs on `settle` seconds.
    void send(const QByteArray& datagram, double settle = 0.01) {
        drive.hostDatagram(datagram, host);
        time.advanceBy(settle);
    }
    // Everything the drive sent on the serial line since the last take.
    QByteArray takeSerial() {
        QByteArray all;
        for (const auto& s : serial) {
            all += s.data;
        }
        serial.clear();
        return all;
    }
    QList<QByteArray> takeDatagrams() {
        QList<QByteArray> all;
        for (const auto& d : datagrams) {
            all << d.data;
        }
        datagrams.clear();
        return all;
    }

    SimTime time;
    std::vector<Sent> serial;
    std::vector<Sent> datagrams;
    drivesim::Endpoint host{QStringLiteral("127.0.0.1"), 7777};
    drivesim::Endpoint lastEndpoint;
    drivesim::SimulatedDrive drive;
};

// A firmware file: header "revision CR LF model CR LF", three filler bytes, image.
inline QByteArray firmwareFile(const QByteArray& image, const QByteArray& revision = "1.06",
                               const QByteArray& model = "55") {
    return revision + "\r\n" + model + "\r\n" + "\x01\x02\x03" + image;
}

// An image whose bytes all differ from their neighbours' (so a lost, doubled
// or shifted byte always shows), covering every byte value.
inline QByteArray testImage(int size, quint32 seed = 7) {
    QByteArray image(size, '\0');
    quint32 x = seed;
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        image[i] = static_cast<char>(x >> 24);
        if (i > 0 && image[i] == image[i - 1]) {
            image[i] = static_cast<char>(image[i] ^ 0x55);
        }
    }
    return image;
}

inline QByteArray datagram(int type, const QByteArray& payload = {}) {
    return QByteArray(1, static_cast<char>(type >> 8)) + QByteArray(1, static_cast<char>(type)) +
           payload;
}

}  // namespace kestrel::testing
