// The core on its own: start-up, the choice of port and link, shut-down, and
// Quit or a signal in the middle of a wait, on simulated time with a
// recording front end.
#include <QtTest>

#include "Bytes.h"
#include "Doubles.h"
#include "SessionProbe.h"
#include "SimulatedDriveLink.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

QString setting(const TestPlatform& tp, const char* key) {
    return tp.settings.values.value(MemorySettingsStore::path("KestrelUpdater", "Startup", key));
}

// A session whose COM ports 1 and 2 exist, loaded.
struct Loaded : TestSession {
    Loaded() {
        tp.serial.setOpenResult(1, CommError::None);
        tp.serial.setOpenResult(2, CommError::None);
        session.Form_Load();
    }
};

}  // namespace

class SessionTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() { qputenv("XDG_DATA_HOME", QFile::encodeName(home.path())); }

    void startUp_data() {
        QTest::addColumn<bool>("com1");
        QTest::addColumn<int>("bindError");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("COM1 missing: two messages, NO COMM")
            << false << 0 << QStringList(2, "Invalid Port Number");
        QTest::newRow("UDP port taken: Ethernet disabled, serial goes on")
            << true << 10048
            << QStringList{"Winsock error[10048] occured, Description:Address in use"};
    }

    void startUp() {
        QFETCH(bool, com1);
        QFETCH(int, bindError);
        TestSession t;
        t.tp.serial.setOpenResult(1, com1 ? CommError::None : CommError::InvalidPortNumber);
        t.tp.serial.setOpenResult(3, CommError::None);
        t.tp.udp.setBindResult({bindError, QStringLiteral("Address in use")});
        // The remembered port is saved but never opened at start.
        t.tp.settings.write("KestrelUpdater", "Startup", "CommPort", "3");
        t.tp.settings.write("KestrelUpdater", "Startup", "IPaddress", "192.168.0.20");
        t.session.Form_Load();

        QTEST(t.seen.texts(), "messages");
        QCOMPARE(t.seen.shown[0].icon, bindError ? MessageIcon::Exclamation : MessageIcon::None);
        QCOMPARE(t.seen.actions.chooseEthernet, bindError == 0);
        QCOMPARE(t.seen.address, QStringLiteral("192.168.0.20"));
        QCOMPARE(t.tp.serial.isOpen(), com1);
        for (const auto& opening : t.tp.serial.openings()) {
            QCOMPARE(opening.portNumber, 1);
        }
        QCOMPARE(t.seen.portChoice, com1 ? 1 : 0);
        QCOMPARE(t.tp.udp.boundPort(), bindError ? -1 : 7777);
        // The socket keeps the design address until a command sets it again.
        QCOMPARE(t.tp.udp.remoteHost(), QStringLiteral("10.10.10.10"));
    }

    // A click in the port list after start-up on COM1; what is open afterwards.
    void portChoice_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("openError");  // of the chosen port, when it is not 1 or 2
        QTest::addColumn<int>("openPort");   // 0: none
        QTest::addColumn<int>("shown");      // the list's entry afterwards
        QTest::addColumn<int>("reopenings");
        QTest::addColumn<QStringList>("shownMessages");
        const QStringList none;
        QTest::newRow("the open port again reopens it") << 1 << 0 << 1 << 1 << 1 << none;
        QTest::newRow("NO COMM keeps the old port open") << 0 << 0 << 1 << 0 << 0 << none;
        QTest::newRow("the last error with a text: closed, NO COMM")
            << 7 << 8013 << 0 << 0 << 1 << QStringList{"The device is already open"};
        QTest::newRow("an error past the last")
            << 7 << 8014 << 0 << 0 << 1 << QStringList{"Unknown error trying to Connect Comm Port"};
    }

    void portChoice() {
        QFETCH(int, index);
        QFETCH(int, openError);
        Loaded t;
        t.tp.serial.setOpenResult(index, CommError(openError));
        const size_t opens = t.tp.serial.openings().size();

        t.session.choosePort(index);

        QTEST(int(t.tp.serial.openings().size() - opens), "reopenings");
        QTEST(t.tp.serial.isOpen() ? t.tp.serial.portNumber() : 0, "openPort");
        QTEST(t.seen.portChoice, "shown");
        QTEST(t.seen.texts(), "shownMessages");
    }

    // The drive powering up on the serial line switches the link to serial; the
    // port it spoke on stays open, so its packet is read and answered.
    void driveOnSerialWhileEthernetIsSelected() {
        Loaded t;
        SimulatedDriveLink drive(t.tp);
        t.session.chooseLink(Link::Ethernet);
        const size_t opens = t.tp.serial.openings().size();

        drive.powerUp();
        t.session.Delay(500);

        QCOMPARE(t.seen.link, Link::Serial);
        QCOMPARE(t.tp.serial.openings().size(), opens);
        QCOMPARE(t.seen.drive.model, QStringLiteral("KX-M1"));
        QVERIFY(t.seen.actions.startDownload);
        QVERIFY2(drive.transcriptText().contains(QLatin1String("command \"QT\"")),
                 qPrintable(drive.transcriptText()));

        // Another entry chosen while on Ethernet opens nothing; traffic on the old
        // port still switches the link, and the switch opens the entry shown.
        t.session.chooseLink(Link::Ethernet);
        t.session.choosePort(2);
        QCOMPARE(t.tp.serial.portNumber(), 1);
        drive.powerUp();
        t.session.Delay(500);
        QCOMPARE(t.seen.link, Link::Serial);
        QCOMPARE(t.tp.serial.portNumber(), 2);
    }

    void quitSavesAndEnds() {
        Loaded t;
        t.session.choosePort(2);
        t.session.editAddress(QStringLiteral("10.0.0.7"));
        t.tp.serial.setBreak(true);

        t.session.Quit_Click();

        QCOMPARE(t.seen.endCount, 1);
        QCOMPARE(setting(t.tp, "CommPort"), QStringLiteral("2"));
        QCOMPARE(setting(t.tp, "IPaddress"), QStringLiteral("10.0.0.7"));
        QVERIFY(!t.tp.serial.isOpen());
        QVERIFY(!t.tp.serial.breakOn());
        t.session.Quit_Click();  // a second request (the close box after Quit) changes nothing
        QCOMPARE(t.seen.endCount, 1);
    }

    // Quit (or a signal) while a handler waits, or while the file dialog is
    // open and its person away: the wait returns at once (the dialog closes as
    // a cancel), the handler unwinds without a message or another byte to the
    // drive, and only then does the session shut down.
    void quitDuringAWaitUnwindsFirst_data() {
        QTest::addColumn<bool>("dialog");
        QTest::newRow("Ping waits for the drive") << false;
        QTest::newRow("the file dialog waits for a person") << true;
    }
    void quitDuringAWaitUnwindsFirst() {
        QFETCH(bool, dialog);
        Loaded t;
        t.session.editAddress(QStringLiteral("127.0.0.1"));
        t.tp.time.after(0.05, [&t] {
            t.session.Quit_Click();
            QCOMPARE(t.seen.endCount, 0);  // the handler is still on the stack
        });
        t.tp.fileDialog.choose(QStringLiteral("/nowhere/Flash.E"));  // if the person came back
        t.tp.fileDialog.whileOpen = [&tp = t.tp] {
            while (!tp.fileDialog.cancelled && tp.time.now() < 60) {
                tp.pump.waitForEvents(60);
            }
        };
        const double start = t.tp.time.now();

        // Ping waits 100 ms for the drive, then shows a message.
        dialog ? t.session.OpenPrograms_Click() : void(t.session.Ping_Click());

        QVERIFY(t.tp.time.now() - start < 0.06);
        QVERIFY(t.seen.shown.empty());
        QCOMPARE(t.seen.file.name, QStringLiteral("Not Loaded"));
        QCOMPARE(t.seen.endCount, 1);
        t.tp.serial.clearTransmitted();
        t.session.serialState().CommandText = QStringLiteral("SA");
        QVERIFY(!SessionProbe(t.session).serialExchange().SendCommand(true));
        QVERIFY(t.tp.serial.transmitted().isEmpty());
    }

  private:
    QTemporaryDir home;  // of the firmware folder
};

QTEST_MAIN(SessionTest)
#include "test_session.moc"
