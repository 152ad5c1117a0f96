#pragma once

#include <QByteArray>
#include <QList>
#include <utility>
#include <vector>

#include "Bytes.h"
#include "SimTime.h"
#include "SimulatedDrive.h"

Q_DECLARE_METATYPE(kestrel::drivesim::DriveOptions)

namespace kestrel::testing {

// The default options with `change` made to them.
template <typename Change>
drivesim::DriveOptions optionsWith(Change change) {
    drivesim::DriveOptions options;
    change(options);
    return options;
}

// Options of a drive that expects `image` (revision 1.06) to be downloaded.
inline drivesim::DriveOptions expecting(const QByteArray& image,
                                        drivesim::DriveOptions options = {}) {
    options.firmwareFile = firmwareFile(image);
    return options;
}

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
    void deliverDatagram(const QByteArray& datagram, const drivesim::Endpoint&) override {
        datagrams.push_back({time.now(), datagram});
    }

    // The host types `text` at `bitRate`, one character time apart; the clock
    // runs on `settle` seconds after the last character.
    void type(const QByteArray& text, int bitRate = 9600, double settle = 0.05) {
        double t = time.now();
        for (char c : text) {
            t += 10.0 / bitRate;
            time.at(t, [this, c, bitRate] { drive.hostSerialBytes(QByteArray(1, c), bitRate); });
        }
        time.advanceTo(t + settle);
    }
    void enterBootLoader() {
        type("B5827\r");
        time.advanceBy(0.1);
        takeSerial();
    }
    void send(const QByteArray& datagram, double settle = 0.01) {
        drive.hostDatagram(datagram, host);
        time.advanceBy(settle);
    }
    // What the drive sent since the last take.
    QByteArray takeSerial() { return take(serial).join(); }
    QList<QByteArray> takeDatagrams() { return take(datagrams); }

    SimTime time;
    std::vector<Sent> serial;
    std::vector<Sent> datagrams;
    drivesim::Endpoint host{QStringLiteral("127.0.0.1"), 7777};
    drivesim::SimulatedDrive drive;

  private:
    static QList<QByteArray> take(std::vector<Sent>& sent) {
        QList<QByteArray> all;
        for (const auto& s : std::exchange(sent, {})) {
            all << s.data;
        }
        return all;
    }
};

}  // namespace kestrel::testing
