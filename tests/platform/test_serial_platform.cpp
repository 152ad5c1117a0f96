// The real serial port: settings strings, COM-number mapping, the
// classification of failed openings, and a real pseudo-terminal.
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

// A pseudo-terminal made by the test: the updater's side is the slave path.
struct PseudoTerminal {
    int master = -1;
    QString slavePath;
    PseudoTerminal() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            return;
        }
        slavePath = QString::fromLocal8Bit(::ptsname(master));
        termios raw{};
        ::tcgetattr(master, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(master, TCSANOW, &raw);
    }
    ~PseudoTerminal() {
        if (master >= 0) {
            ::close(master);
        }
    }
    // Settings that map COM1 to this terminal.
    MemorySettingsStore asCom1() const {
        MemorySettingsStore store;
        store.write("KestrelUpdater", "Ports", "COM1", slavePath);
        return store;
    }
    QByteArray readSome(int timeoutMs = 1000) const {
        QByteArray out;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            char buffer[256];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) {
                out.append(buffer, n);
                break;
            }
            QTest::qWait(5);
        }
        return out;
    }
};

}  // namespace

class SerialPlatformTest : public QObject {
    Q_OBJECT
  private slots:
    void parsesLineSettings_data();
    void parsesLineSettings();
    void mapsComNumbersToDevices();
    void classifiesOpenFailures_data();
    void classifiesOpenFailures();
    void missingDeviceIsInvalidPortNumber();
    void opensARealPseudoTerminalAndMovesBytes();
    void portHeldByAnotherOpeningIsAlreadyOpen();
};

void SerialPlatformTest::parsesLineSettings_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("baud");
    QTest::addColumn<double>("charMicros");
    QTest::newRow("9600 8N1") << "9600,N,8,1" << true << 9600 << 1041.67;
    QTest::newRow("115200 8N1") << "115200,N,8,1" << true << 115200 << 86.81;
    QTest::newRow("even parity, 7 bits, 2 stop") << "1200,e,7,2" << true << 1200 << 9166.67;
    QTest::newRow("missing field") << "9600,N,8" << false << 0 << 0.0;
    QTest::newRow("bad parity") << "9600,X,8,1" << false << 0 << 0.0;
    QTest::newRow("zero rate") << "0,N,8,1" << false << 0 << 0.0;
    QTest::newRow("empty") << "" << false << 0 << 0.0;
}

void SerialPlatformTest::parsesLineSettings() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const auto s = parseLineSettings(text);
    QCOMPARE(s.has_value(), valid);
    if (valid) {
        QFETCH(int, baud);
        QFETCH(double, charMicros);
        QCOMPARE(s->baudRate, baud);
        QVERIFY(qAbs(characterSeconds(*s) * 1e6 - charMicros) < 0.01);
    }
}

void SerialPlatformTest::mapsComNumbersToDevices() {
    MemorySettingsStore store;
    QCOMPARE(comPortDevice(1, store), QStringLiteral("/dev/ttyS0"));
    QCOMPARE(comPortDevice(8, store), QStringLiteral("/dev/ttyS7"));
    QCOMPARE(comPortDevice(0, store), QString());
    store.write("KestrelUpdater", "Ports", "COM3", "/dev/ttyUSB0");
    QCOMPARE(comPortDevice(3, store), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(comPortDevice(2, store), QStringLiteral("/dev/ttyS1"));
}

void SerialPlatformTest::classifiesOpenFailures_data() {
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("denied");
    QTest::addColumn<int>("expected");
    QTest::newRow("no such device") << int(QSerialPort::DeviceNotFoundError) << false << 8002;
    QTest::newRow("held by another process") << int(QSerialPort::PermissionError) << false << 8005;
    QTest::newRow("access denied") << int(QSerialPort::PermissionError) << true << 8010;
    QTest::newRow("device gone / I/O error") << int(QSerialPort::ResourceError) << false << 8010;
    QTest::newRow("not open") << int(QSerialPort::NotOpenError) << false << 8012;
    QTest::newRow("already open here") << int(QSerialPort::OpenError) << false << 8013;
    QTest::newRow("anything else") << int(QSerialPort::UnknownError) << false << 8000;
    QTest::newRow("unsupported") << int(QSerialPort::UnsupportedOperationError) << false << 8000;
}

void SerialPlatformTest::classifiesOpenFailures() {
    QFETCH(int, error);
    QFETCH(bool, denied);
    QFETCH(int, expected);
    QCOMPARE(classifyOpenFailure(static_cast<QSerialPort::SerialPortError>(error), denied),
             expected);
}

void SerialPlatformTest::missingDeviceIsInvalidPortNumber() {
    MemorySettingsStore store;
    store.write("KestrelUpdater", "Ports", "COM2", "/dev/kestrel-no-such-device");
    QtSerialPort port(store);
    QCOMPARE(port.open(2, "9600,N,8,1", 0), CommError::InvalidPortNumber);
    QVERIFY(!port.isOpen());
}

void SerialPlatformTest::opensARealPseudoTerminalAndMovesBytes() {
    PseudoTerminal pty;
    if (pty.slavePath.isEmpty()) {
        QSKIP("This machine gives no pseudo-terminals (posix_openpt failed)");
    }
    const MemorySettingsStore store = pty.asCom1();
    QtSerialPort port(store);
    QCOMPARE(port.open(1, "9600,N,8,1", 0), CommError::None);
    QVERIFY(port.isOpen());

    port.write("QT\r");
    QCOMPARE(pty.readSome(), QByteArray("QT\r"));
    QCOMPARE(port.bytesQueuedForOutput(), 0);

    // Bytes from the drive are seen by a reader that does not pump events.
    QCOMPARE(::write(pty.master, "\xFF\x05\x37", 3), ssize_t(3));
    QElapsedTimer t;
    t.start();
    while (port.bytesWaiting() < 3 && t.elapsed() < 1000) {
        QThread::msleep(1);
    }
    QCOMPARE(port.bytesWaiting(), 3);
    QCOMPARE(port.read(1), QByteArray("\xFF"));
    QCOMPARE(port.read(0), QByteArray("\x05\x37"));

    // A reader can sleep on the port: until the time is up when nothing
    // comes, and only until the byte when one is there.
    QElapsedTimer slept;
    slept.start();
    port.waitForBytes(0.05);
    QVERIFY(slept.elapsed() >= 49);
    QCOMPARE(port.bytesWaiting(), 0);
    QCOMPARE(::write(pty.master, "\r", 1), ssize_t(1));
    slept.restart();
    port.waitForBytes(5.0);
    QVERIFY(slept.elapsed() < 4000);
    QCOMPARE(port.read(0), QByteArray("\r"));

    // ...and raise the receive handler when the event loop runs.
    int notices = 0;
    port.setReceiveHandler([&] { ++notices; });
    QCOMPARE(::write(pty.master, "OK", 2), ssize_t(2));
    QTRY_VERIFY(notices > 0);
    QCOMPARE(port.lastEvent(), CommEvent::Receive);
    QVERIFY(port.setSettings("115200,N,8,1"));
    port.close();
    QVERIFY(!port.isOpen());
}

void SerialPlatformTest::portHeldByAnotherOpeningIsAlreadyOpen() {
    PseudoTerminal pty;
    if (pty.slavePath.isEmpty()) {
        QSKIP("This machine gives no pseudo-terminals (posix_openpt failed)");
    }
    const MemorySettingsStore store = pty.asCom1();
    QtSerialPort first(store);
    QCOMPARE(first.open(1, "9600,N,8,1", 0), CommError::None);
    QtSerialPort second(store);
    QCOMPARE(second.open(1, "9600,N,8,1", 0), CommError::PortAlreadyOpen);
    first.close();
    // Closing releases the lock: the port can be had again.
    QCOMPARE(second.open(1, "9600,N,8,1", 0), CommError::None);
}

QTEST_MAIN(SerialPlatformTest)
#include "test_serial_platform.moc"
