// The real serial port: settings strings, COM-number mapping, the
// classification of failed openings, and the settings as they reach a real
// pseudo-terminal. Bytes over a real pty are the integration tests' part.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <QtTest>

#include "Doubles.h"
#include "platform/ComPorts.h"
#include "platform/SerialSettings.h"
#include "platform/qt/QtSerialPort.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// A pseudo-terminal made by the test, mapped to COM1. The test holds the
// slave side open as well, to read back what the port set on the line.
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
    termios line() const {
        termios t{};
        ::tcgetattr(slave, &t);
        return t;
    }
};

}  // namespace

class SerialPlatformTest : public QObject {
    Q_OBJECT
  private slots:
    void parsesLineSettings_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("charMicros");  // 0: refused
        const std::pair<const char*, double> rows[] = {
            {"9600,N,8,1", 1041.67}, {" 115200 , n ,8 , 1", 86.81},
            {"1200,o,7,2", 9166.67}, {"1200,M,5,1.5", 6666.67},
            {"9600,N,4,1", 0},       {"9600,N,9,1", 0},
            {"9600,N,8", 0},         {"9600,X,8,1", 0},
            {"0,N,8,1", 0},          {"9600,N,8,3", 0},
        };
        for (const auto& [text, micros] : rows) {
            QTest::newRow(text) << QString(text) << micros;
        }
    }

    void parsesLineSettings() {
        QFETCH(QString, text);
        QFETCH(double, charMicros);
        const auto s = parseLineSettings(text);
        QCOMPARE(s.has_value(), charMicros > 0);
        QVERIFY(!s || qAbs(characterSeconds(*s) * 1e6 - charMicros) < 0.01);
    }

    void mapsComNumbersAndClassifiesOpenFailures() {
        MemorySettingsStore store;
        store.write("KestrelUpdater", "Ports", "COM3", "/dev/ttyUSB0");
        QCOMPARE(comPortDevice(1, store), QStringLiteral("/dev/ttyS0"));
        QCOMPARE(comPortDevice(2, store), QStringLiteral("/dev/ttyS1"));
        QCOMPARE(comPortDevice(3, store), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(comPortDevice(0, store), QString());
        using E = QSerialPort;
        const std::tuple<E::SerialPortError, bool, int> rows[] = {
            {E::DeviceNotFoundError, false, CommError::InvalidPortNumber},
            {E::PermissionError, false, CommError::PortAlreadyOpen},  // held by another process
            {E::PermissionError, true, CommError::HardwareNotAvailable},
            {E::ResourceError, false, CommError::HardwareNotAvailable},  // device gone
            {E::NotOpenError, false, CommError::DeviceNotOpen},
            {E::OpenError, false, CommError::DeviceAlreadyOpen},
            {E::UnsupportedOperationError, false, CommError::Unknown},
        };
        for (const auto& [error, denied, expected] : rows) {
            QCOMPARE(classifyOpenFailure(error, denied), expected);
        }
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
            QVERIFY(port.setSettings(settings));  // on an open port: at once
            const termios t = pty.line();
            QCOMPARE(::cfgetospeed(&t), speed);
            QCOMPARE((t.c_cflag & (CSIZE | PARODD | CSTOPB)) | (t.c_iflag & IXON), flags);
        }
    }
};

QTEST_MAIN(SerialPlatformTest)
#include "test_serial_platform.moc"
