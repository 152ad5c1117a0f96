// The drive address on simulated time, inside the real window: switching to
// the Ethernet link, the caption, leaving txtIP with a bad address, and the
// Ping button's query and its three outcomes.
#include <QComboBox>
#include <QFocusEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "EthernetWindow.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QByteArray kQuery = bytes({0x00, 0x63, 0x00});
const QString kTitle = QStringLiteral("Kestrel PRO Firmware Updater 0.1.0");
const QString kResponded = QStringLiteral("Drive responded.  ARM build number is ");
const QString kNoResponse = QStringLiteral("No response from drive");
const QString kBadAddress =
    QStringLiteral("Invalid IP address.  Example of a valid address: 192.168.0.20");

QByteArray answerDatagram(const QByteArray& payload) {
    return bytes({0x00, 0x63}) + payload;
}

void leaveTxtIp(Mainform& form) {
    QFocusEvent focusOut(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(form.findChild<QLineEdit*>(QStringLiteral("txtIP")), &focusOut);
}

void clickPing(Mainform& form) {
    form.findChild<QPushButton*>(QStringLiteral("Ping"))->click();
}

}  // namespace

class DriveAddressTest : public QObject {
    Q_OBJECT
  private slots:
    void ethernetOptionShowsAddressAndPing();
    void leavingTxtIp_data();
    void leavingTxtIp();
    void pingOutcomes_data();
    void pingOutcomes();
    void pingAfterTheDriveIsUnplugged();
    void lateAnswerIsEmptiedByTheNextPing();
    void pingFromAnotherHostIsTaken();
    void pingWithInvalidAddressSendsNothing();
    void pingTheSocketRefuses();
};

void DriveAddressTest::ethernetOptionShowsAddressAndPing() {
    TestPlatform tp;
    tp.serial.setOpenResult(1, 0);
    Mainform form(tp.platform);
    form.Form_Load();
    auto* txtIP = form.findChild<QLineEdit*>(QStringLiteral("txtIP"));
    auto* ping = form.findChild<QPushButton*>(QStringLiteral("Ping"));
    auto* commList = form.findChild<QComboBox*>(QStringLiteral("CommList"));
    QVERIFY(txtIP->isHidden() && ping->isHidden() && !commList->isHidden());

    form.selectEthernet();

    QVERIFY(form.isEthernetSelected());
    QVERIFY(!txtIP->isHidden());
    QVERIFY(!ping->isHidden());
    QVERIFY(commList->isHidden());
    QCOMPARE(form.windowCaption(), QStringLiteral("10.10.10.10 ") + kTitle);
    QVERIFY(tp.udp.sent().empty());  // choosing the link sends nothing
}

void DriveAddressTest::leavingTxtIp_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");  // empty: none

    QTest::newRow("valid") << "192.168.0.21" << QString();
    QTest::newRow("valid, two groups") << "1.2" << QString();
    QTest::newRow("group above 255") << "192.168.0.256" << kBadAddress;
    QTest::newRow("ends with third dot") << "1.2.3." << kBadAddress;
    QTest::newRow("letters") << "drive" << kBadAddress;
}

void DriveAddressTest::leavingTxtIp() {
    QFETCH(QString, text);
    QFETCH(QString, message);
    EthernetWindow w;
    const QString captionBefore = w.form.windowCaption();
    w.form.setIpText(text);

    leaveTxtIp(w.form);

    if (message.isEmpty()) {
        QVERIFY(w.tp.messages.shown.empty());
        QCOMPARE(w.form.windowCaption(), text + QLatin1Char(' ') + kTitle);
    } else {
        QCOMPARE(w.tp.messages.texts(), QStringList{message});
        QCOMPARE(w.tp.messages.shown.front().icon, MessageIcon::None);
        QCOMPARE(w.form.windowCaption(), captionBefore);
    }
    QCOMPARE(w.form.ipText(), text);  // kept as typed either way
    QVERIFY(w.tp.udp.sent().empty());
}

void DriveAddressTest::pingOutcomes_data() {
    QTest::addColumn<QByteArray>("answer");  // payload; null: the drive stays silent
    QTest::addColumn<QString>("message");

    QTest::newRow("silent") << QByteArray() << kNoResponse;
    QTest::newRow("three bytes") << bytes({0x00, 0x00, 0x01}) << kNoResponse;
    QTest::newRow("build only") << bytes({0x00, 0x00, 0x01, 0x2C}) << kResponded + "300";
    QTest::newRow("build of 2^31 and more")
        << bytes({0x80, 0x00, 0x00, 0x2A, 0x00, 0x11, 0x0A, 0xFF, 0x2B, 0x03})
        << kResponded + "2147483690. MAC ID = 0-11-A-FF-2B-3";
}

void DriveAddressTest::pingOutcomes() {
    QFETCH(QByteArray, answer);
    QFETCH(QString, message);
    EthernetWindow w;
    if (!answer.isNull()) {
        w.drive.answer(kQuery, answerDatagram(answer), 0.020);
    }
    const double start = w.tp.time.now();

    clickPing(w.form);

    QCOMPARE(w.drive.received.size(), 1u);
    QCOMPARE(w.drive.received.front().data, kQuery);
    QCOMPARE(w.drive.received.front().host, EthernetWindow::DriveIp);
    QCOMPARE(w.drive.received.front().port, quint16(7775));
    QCOMPARE(w.tp.time.now(), start + 0.1);  // the answer does not cut the wait short
    QCOMPARE(w.tp.messages.texts(), QStringList{message});
    QCOMPARE(w.tp.messages.shown.front().icon, MessageIcon::None);
    QCOMPARE(w.state().PingReplyData, answer.isNull() ? QByteArray() : answer);
}

void DriveAddressTest::pingAfterTheDriveIsUnplugged() {
    EthernetWindow w;
    w.drive.answer(kQuery, answerDatagram(bytes({0, 0, 0, 5})));
    clickPing(w.form);
    w.drive.forget(kQuery);
    clickPing(w.form);
    QCOMPARE(w.tp.messages.texts(), (QStringList{kResponded + "5", kNoResponse}));
}

void DriveAddressTest::lateAnswerIsEmptiedByTheNextPing() {
    EthernetWindow w;
    w.drive.answer(kQuery, answerDatagram(bytes({0, 0, 0, 5})), 0.150);
    clickPing(w.form);
    QCOMPARE(w.tp.messages.texts(), QStringList{kNoResponse});

    w.form.Delay(100);  // the late answer lands and stays...
    QCOMPARE(w.state().PingReplyData, bytes({0, 0, 0, 5}));

    w.drive.forget(kQuery);
    clickPing(w.form);  // ...until the next press empties it
    QCOMPARE(w.tp.messages.texts(), (QStringList{kNoResponse, kNoResponse}));
    QVERIFY(w.state().PingReplyData.isEmpty());
}

void DriveAddressTest::pingFromAnotherHostIsTaken() {
    // An earlier datagram moved the remote host; Ping sends to txtIP anyway
    // and takes an answer from whoever gives it.
    EthernetWindow w;
    w.tp.udp.receiveFromNetwork(bytes({0x00, 0x15}), QStringLiteral("10.0.0.7"));
    w.tp.pump.processPending();
    w.tp.time.after(0.010, [&] {
        w.tp.udp.receiveFromNetwork(answerDatagram(bytes({0, 0, 0, 9})),
                                    QStringLiteral("10.0.0.8"));
    });

    clickPing(w.form);

    QCOMPARE(w.drive.received.back().host, EthernetWindow::DriveIp);
    QCOMPARE(w.tp.messages.texts(), QStringList{kResponded + "9"});
    QCOMPARE(w.tp.udp.remoteHost(), QStringLiteral("10.0.0.8"));
}

void DriveAddressTest::pingWithInvalidAddressSendsNothing() {
    EthernetWindow w;
    w.state().PingReplyData = bytes({1, 2, 3, 4});
    w.form.setIpText(QStringLiteral("1..2.3"));
    const double start = w.tp.time.now();

    clickPing(w.form);

    QVERIFY(w.tp.udp.sent().empty());
    QCOMPARE(w.tp.messages.texts(), QStringList{QStringLiteral("Invalid drive IP address")});
    QCOMPARE(w.tp.time.now(), start);
    QCOMPARE(w.state().PingReplyData, bytes({1, 2, 3, 4}));
}

void DriveAddressTest::pingTheSocketRefuses() {
    // "1." passes the address check, but no socket can send to it; the
    // socket's own description is what the user sees.
    EthernetWindow w;
    w.form.setIpText(QStringLiteral("1."));
    const double start = w.tp.time.now();

    clickPing(w.form);

    QVERIFY(w.tp.udp.sent().empty());
    QCOMPARE(w.tp.messages.texts(), QStringList{QStringLiteral("Invalid remote host \"1.\"")});
    QCOMPARE(w.tp.time.now(), start);
}

QTEST_MAIN(DriveAddressTest)
#include "test_drive_address.moc"
