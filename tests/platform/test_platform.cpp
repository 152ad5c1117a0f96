// The platform layer: the event-pumping waits on simulated time; the real serial
// port's settings strings and their pace, COM mapping, failed openings, which
// devices are paced, and settings on a real pty. Bytes over a pty and waits on
// a real event loop are the integration tests'.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <QtTest>

#include "Bytes.h"
#include "Doubles.h"
#include "platform/ComPorts.h"
#include "platform/SerialAdapters.h"
#include "platform/SerialSettings.h"
#include "platform/Waits.h"
#include "platform/qt/QtSerialPort.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// A pty mapped to COM1; the test holds its slave side to read back the line's settings.
struct PseudoTerminal {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    int slave = -1;
    MemorySettingsStore store;
    PseudoTerminal() {
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
            store.write("KestrelUpdater", "Ports", "COM1",
                        QString::fromLocal8Bit(::ptsname(master)));
            slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
        }
    }
    ~PseudoTerminal() {
        ::close(slave);
        ::close(master);
    }
};

}  // namespace

class PlatformTest : public QObject {
    Q_OBJECT
  private slots:
    // They end on time, deliver events while they block, and never spin.
    void waitsUntilTheDeadline_data() {
        QTest::addColumn<double>("ms");
        QTest::addColumn<bool>("polled");  // Delay polls the serial handler, WaitMs does not
        QTest::addColumn<int>("events");   // delivered of those at 10, 20, 90 and 150 ms
        QTest::addColumn<int>("passes");
        QTest::newRow("WaitMs 100 ms")
            << 100.0 << false << 3 << 4;  // three events, then the deadline
        QTest::newRow("Delay, a fraction of a ms") << 0.25 << true << 0 << 1;
        QTest::newRow("Delay 0: at once, no pumping") << 0.0 << true << 0 << 0;
    }

    void waitsUntilTheDeadline() {
        QFETCH(double, ms);
        QFETCH(bool, polled);
        QFETCH(int, events);
        QFETCH(int, passes);
        TestPlatform tp;
        const double start = 86399.9;  // across what used to be midnight
        tp.time.advanceTo(start);
        Waits waits(tp.time, tp.pump);
        int polls = 0, delivered = 0;
        waits.setReceivePoll([&] { ++polls; });
        for (double t : {0.010, 0.020, 0.090, 0.150}) {
            tp.time.at(start + t, [&] { tp.time.post([&] { ++delivered; }); });
        }
        polled ? waits.Delay(ms) : waits.WaitMs(ms);
        QCOMPARE(tp.time.now(), start + ms / 1000.0);
        QCOMPARE(delivered, events);
        QCOMPARE(tp.time.passes, passes);
        QCOMPARE(tp.time.blockingWaits, passes);  // blocks instead of spinning
        QCOMPARE(polls, polled ? passes : 0);
    }

    void parsesLineSettings_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("charMicros");  // 0: refused
        // How long a paced write of a byte right behind another holds its
        // writer: a character, unless that would stall the window (0).
        QTest::addColumn<double>("heldMicros");
        const std::tuple<const char*, double, double> rows[] = {
            {"9600,N,8,1", 1041.67, 1041.67},
            {" 115200 , n ,8 , 1", 86.81, 86.81},
            {"1200,o,7,2", 9166.67, 0},
            {"1200,M,5,1.5", 6666.67, 0},
            {"9600,N,4,1", 0, 0},
            {"9600,N,9,1", 0, 0},
            {"9600,N,8", 0, 0},
            {"9600,X,8,1", 0, 0},
            {"0,N,8,1", 0, 0},
            {"9600,N,8,3", 0, 0},
        };
        for (const auto& [text, micros, held] : rows) {
            QTest::newRow(text) << QString(text) << micros << held;
        }
    }

    void parsesLineSettings() {
        QFETCH(QString, text);
        QFETCH(double, charMicros);
        QFETCH(double, heldMicros);
        const auto s = parseLineSettings(text);
        QCOMPARE(s.has_value(), charMicros > 0);
        if (!s) {
            return;
        }
        QVERIFY(qAbs(characterSeconds(*s) * 1e6 - charMicros) < 0.01);
        WritePacing pacing;
        pacing.setCharacterTime(characterSeconds(*s));
        QCOMPARE(pacing.holdAfterWrite(2, 10.0), 0.0);  // not paced: a real line
        pacing.restart(WritePacing::Kind::LineRate);
        QCOMPARE(pacing.holdAfterWrite(1, 10.0), 0.0);  // the line was idle: it starts at once
        QVERIFY(qAbs(pacing.holdAfterWrite(1, 10.0) * 1e6 - heldMicros) < 0.01);
    }

    void mapsComNumbersAndClassifiesOpenFailures() {
        MemorySettingsStore store;
        QCOMPARE(comPortDevice(1, store), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(comPortDevice(0, store), QString());
        using E = QSerialPort;
        const std::tuple<E::SerialPortError, bool, CommError> rows[] = {
            {E::DeviceNotFoundError, false, CommError::InvalidPortNumber},
            {E::PermissionError, false, CommError::PortAlreadyOpen},  // held by another process
            {E::PermissionError, true, CommError::HardwareNotAvailable},
            {E::ResourceError, false, CommError::HardwareNotAvailable},  // device gone
        };
        for (const auto& [error, denied, expected] : rows) {
            QCOMPARE(classifyOpenFailure(error, denied), expected);
        }
        // Only pseudo-terminals are paced: ttyS, 135 and 144 are not.
        const std::pair<unsigned, bool> majors[] = {
            {4, false}, {135, false}, {136, true}, {143, true}, {144, false}};
        for (const auto& [deviceMajor, paced] : majors) {
            QCOMPARE(isPseudoTerminalMajor(deviceMajor), paced);
        }
    }

    // The low-latency request on open, on a made-up sysfs: every real driver
    // is asked; only an FTDI timer still above 1 ms afterwards is reported.
    void asksForLowLatency() {
        const std::tuple<const char*, const char*, const char*> rows[] = {
            // driver ("" for a pty), its latency_timer after the request, the line
            {"ftdi_sio", "16", "holds received bytes up to 16 ms (its latency timer)"},
            {"ftdi_sio", "1", ""},
            {"cp210x", "", ""},
            {"", "", ""},
        };
        for (const auto& [driver, timer, notice] : rows) {
            QTemporaryDir sys;
            const QString device = sys.filePath("class/tty/ttyUSB0/device");
            QVERIFY(QDir().mkpath(device) && QDir().mkpath(sys.filePath("drivers/") + driver));
            if (*driver) {
                QVERIFY(QFile::link(sys.filePath("drivers/") + driver, device + "/driver"));
            }
            QVERIFY(!*timer || writeFile(device + "/latency_timer", timer));
            int asked = 0;
            const QString line =
                lowLatencyNotice(sys.path(), "ttyUSB0", [&] { return ++asked, false; });
            QCOMPARE(asked, *driver ? 1 : 0);
            QVERIFY2(*notice ? line.contains(notice) && line.contains("/sys/bus/usb-serial/devices/"
                                                                      "ttyUSB0/latency_timer")
                             : line.isEmpty(),
                     qPrintable(line));
        }
    }

    // The driver behind a device, from a sysfs tree, decides how the output
    // count is read; a device sysfs does not know (a pty) keeps the default.
    void readsTheDriverFromSysfs_data() {
        QTest::addColumn<QString>("driver");  // the link's last element; "": no device
        QTest::addColumn<int>("writeAhead");
        QTest::addColumn<bool>("chipXonXoff");
        // How long a writer that sees a count of 1280 sleeps at 115200 bit/s.
        QTest::addColumn<double>("sleepMicros");
        QTest::newRow("pty") << "" << 0 << false << 2000.0;
        QTest::newRow("unknown driver") << "dw-apb-uart" << 0 << false << 2000.0;
        QTest::newRow("16550") << "serial8250" << 0 << false << 2000.0;
        QTest::newRow("FTDI") << "ftdi_sio" << 24 << true << 2000.0;
        QTest::newRow("CH341") << "ch341" << 20 << false << 2000.0;
        // One byte in one buffer: within the bytes it may write ahead.
        QTest::newRow("CDC-ACM") << "cdc_acm" << 12 << false << 0.0;
    }
    void readsTheDriverFromSysfs() {
        QFETCH(QString, driver);
        QTemporaryDir sys;
        QVERIFY(QDir(sys.path()).mkpath("class/tty/ttyX0/device") &&
                QDir(sys.path()).mkpath("bus/usb-serial/drivers/" + driver));
        if (!driver.isEmpty()) {
            QVERIFY(QFile::link("../../../../bus/usb-serial/drivers/" + driver,
                                sys.filePath("class/tty/ttyX0/device/driver")));
        }
        const OutputPolicy policy = outputPolicyOf(sys.path(), "ttyX0");
        QCOMPARE(policy, outputPolicyFor(driver));
        QTEST(policy.writeAhead, "writeAhead");
        QTEST(policy.chipXonXoff, "chipXonXoff");
        QTEST(drainSleep(1280, 10.0 / 115200, 5.0, policy) * 1e6, "sleepMicros");
    }

    void settingsReachTheLine() {
        // What the port set on the line: a pty keeps eight bits and clears the
        // parity enable, but shows the rate, odd parity, stop bits and XON/XOFF.
        const std::tuple<const char*, int, speed_t, tcflag_t> rows[] = {
            {"9600,N,8,1", Handshaking::None, B9600, CS8},
            {"115200,O,8,2", Handshaking::XonXoff, B115200, CS8 | PARODD | CSTOPB | IXON},
        };
        for (const auto& [settings, handshaking, speed, flags] : rows) {
            PseudoTerminal pty;
            QtSerialPort port(pty.store);
            QCOMPARE(port.open(1, "57600,E,8,1", handshaking), CommError::None);
            QVERIFY(port.pacesWrites());
            QVERIFY(port.setSettings(settings));  // on an open port: at once
            termios t{};
            ::tcgetattr(pty.slave, &t);
            QCOMPARE(::cfgetospeed(&t), speed);
            QCOMPARE((t.c_cflag & (CSIZE | PARODD | CSTOPB)) | (t.c_iflag & IXON), flags);
        }
    }
};

QTEST_MAIN(PlatformTest)
#include "test_platform.moc"
