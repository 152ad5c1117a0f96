// The simulated drive's engine on simulated time: its serial line, and its
// verdict, which every download test leans on, at its edges: a byte short, a
// byte changed, a buffer full. Its Ethernet side and its XOFF run under the
// download and kestrel-flash tests, against what the host must do.
#include <QtTest>

#include "Bytes.h"
#include "SimTime.h"
#include "SimulatedDrive.h"

Q_DECLARE_METATYPE(kestrel::drivesim::DriveOptions)

using namespace kestrel;
using namespace kestrel::drivesim;
using namespace kestrel::testing;

namespace {

// The engine alone on simulated time: the test plays the host, handing bytes
// straight to the engine and collecting what comes back, with its time.
class EngineBench final : public DriveTransport {
  public:
    explicit EngineBench(DriveOptions options = {}) : drive(time, *this, options) {}

    void deliverSerialByte(char byte) override {
        heard += byte;
        lastByteAt = time.now();
    }
    void deliverDatagram(const QByteArray&, const Endpoint&) override {}

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
    QByteArray takeSerial() { return std::exchange(heard, {}); }  // since the last take

    SimTime time;
    QByteArray heard;  // what the drive sent
    double lastByteAt = 0;
    SimulatedDrive drive;
};

const QByteArray kBootLoaderBlank = bytes({0xF0, 0xFF, 55, 5});
const QByteArray kUpdated = bytes({0xFF, 6, 55});
}  // namespace

class DriveSimEngineTest : public QObject {
    Q_OBJECT
  private slots:
    void answersOnTheSerialLine_data() {
        QTest::addColumn<DriveOptions>("options");
        QTest::addColumn<QByteArray>("typed");  // none: a power-up
        QTest::addColumn<QByteArray>("heard");
        QTest::addColumn<int>("bitRate");  // the drive's line afterwards
        auto row = [](const char* name, DriveOptions o, QByteArray typed, QByteArray heard,
                      int rate) { QTest::newRow(name) << o << typed << heard << rate; };
        row("power-up", {}, {}, bytes({0xFF, 5, 55}), 9600);
        row("blank: boot loader", {.blank = true}, {}, kBootLoaderBlank, 115200);
        row("other family", {.otherFamily = true}, {}, bytes({0xEF, 0, 0}), 9600);
        row("LF and garbage in the packet", {.packetInsert = bytes({0x0A, 0x41})}, {},
            bytes({0xFF, 0x0A, 0x41, 5, 55}), 9600);
        row("B5827, slow boot loader 2", {.bootLoaderVersion = 2}, "B5827\r",
            bytes({0xF0, 5, 55, 2}), 9600);
        row("silent commands; unknown: letter ?", {}, "QT\r00\rS\rq\rHM\rPR5\rXZ\r", "X?\r", 9600);
    }

    void answersOnTheSerialLine() {
        QFETCH(DriveOptions, options);
        QFETCH(QByteArray, typed);
        QFETCH(QByteArray, heard);
        EngineBench bench(options);
        typed.isEmpty() ? bench.drive.powerUp() : bench.type(typed, 9600, 0.0);
        // A packet leaves at 9600 bit/s, a boot loader's once it has started.
        const bool packet = typed.isEmpty() || typed == "B5827\r";
        const double start = bench.time.now() + (packet && !typed.isEmpty() ? 0.05 : 0);
        bench.time.advanceBy(0.5);
        if (packet) {
            QCOMPARE(bench.lastByteAt, start + double(heard.size()) * 10.0 / 9600);
        }
        QCOMPARE(bench.takeSerial(), heard);
        QTEST(bench.drive.lineBitRate(), "bitRate");
    }

    void garblesBytesAtTheWrongBitRate() {
        EngineBench bench;
        bench.type("SV\r", 115200);  // a drive listening at 9600 hears nothing of it
        bench.type("SV\r");          // and nothing is left to spoil the next command
        QCOMPARE(bench.takeSerial(), QByteArray("105D\r"));
        bench.drive.hostBitRateChanged(115200);
        bench.drive.powerUp();  // its packet at 9600 reaches a host at 115200 as zeros
        bench.time.advanceBy(0.1);
        QCOMPARE(bench.takeSerial(), QByteArray(3, '\0'));
    }

    void judgesTheSerialImageAfterASecondOfQuiet_data() {
        QTest::addColumn<DriveOptions>("options");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("verdict");   // fields it must show
        QTest::addColumn<QByteArray>("heard");  // until the restart's packet
        const QByteArray image = testImage(600);
        QByteArray changed = image;
        changed[599] = static_cast<char>(changed[599] ^ 0x80);
        auto row = [&](const char* name, DriveOptions o, QByteArray sent, const char* fields,
                       QByteArray heard) {
            o.firmwareFile = firmwareFile(image);  // revision 1.06
            QTest::newRow(name) << o << sent << QString(fields) << heard;
        };
        // No drain: the buffer holds exactly its size, and then overruns.
        auto buffer = [](int size) {
            return DriveOptions{.rxBufferSize = size, .xoffLevel = size, .drainRate = 1e-9};
        };
        row("identical", {}, image, "identical=yes first-difference=-1", ".." + kUpdated);
        row("last byte missing", {}, image.left(599), "identical=no bytes=599 first-difference=599",
            ".." + kBootLoaderBlank);
        row("last byte changed", {}, changed, "identical=no first-difference=599",
            ".." + kBootLoaderBlank);
        row("E at byte 300", {.errorAtByte = 300}, image, "bytes=300 error-sent=yes stopped=no",
            ".E" + kBootLoaderBlank);
        row("silent from byte 300", {.stopAtByte = 300}, image,
            "bytes=300 error-sent=no stopped=yes", ".");
        row("buffer just big enough", buffer(600), image,
            "identical=yes overruns=0 line-errors=0 after-xoff=0", "..\x13" + kUpdated);
        row("one byte beyond the buffer", buffer(599), image,
            "bytes=599 xoffs=1 overruns=1 line-errors=0 after-xoff=0", "..\x13" + kBootLoaderBlank);
        QTest::newRow("nothing to compare with")
            << DriveOptions() << image << "identical=unknown bytes=600 expected=0"
            << ".." + bytes({0xFF, 5, 55});
    }

    void judgesTheSerialImageAfterASecondOfQuiet() {
        QFETCH(DriveOptions, options);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, heard);
        EngineBench bench(options);
        bench.type("B5827\r", 9600, 0.15);  // into the boot loader, its packet taken
        bench.takeSerial();
        bench.type(sent.left(300), 115200, 0.0);
        bench.time.advanceBy(0.9);  // a pause is not the end
        bench.type(sent.mid(300), 115200, 0.0);
        const double lastByte = bench.time.now();
        bench.time.advanceTo(lastByte + 1.5);
        const auto v = bench.drive.lastVerdict();
        QVERIFY(v);
        QCOMPARE(v->time, lastByte + 1.0);
        QFETCH(QString, verdict);
        for (const QString& field : verdict.split(' ')) {
            QVERIFY2(v->describe().split(' ').contains(field), qPrintable(v->describe()));
        }
        QCOMPARE(bench.takeSerial(), heard);
        bench.drive.powerUp();  // a power cycle brings even a silent drive back
        bench.time.advanceBy(0.1);
        QCOMPARE(bench.takeSerial().size(), heard.endsWith(kBootLoaderBlank) ? 4 : 3);
    }
};

QTEST_GUILESS_MAIN(DriveSimEngineTest)
#include "test_drive_sim_engine.moc"
