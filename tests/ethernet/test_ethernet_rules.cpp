// The pure rules of the Ethernet link: the address check, the datagram
// envelope and the text of a Ping answer.
#include <QTest>

#include "Bytes.h"
#include "ethernet/AddressRules.h"
#include "ethernet/Datagram.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {}  // namespace

class EthernetRules : public QObject {
    Q_OBJECT
  private slots:
    void validIp_data();
    void validIp();
    void datagramType_data();
    void datagramType();
    void driveTypes();
    void pingAnswer_data();
    void pingAnswer();
};

void EthernetRules::validIp_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");

    QTest::newRow("ordinary") << "192.168.0.20" << true;
    QTest::newRow("default") << "10.10.10.10" << true;
    QTest::newRow("all zero") << "0.0.0.0" << true;
    QTest::newRow("all 255") << "255.255.255.255" << true;
    QTest::newRow("first group above 255") << "256.1.1.1" << false;
    QTest::newRow("last group above 255") << "1.2.3.256" << false;
    QTest::newRow("third group above 255, two dots") << "1.2.300" << false;
    QTest::newRow("commas") << "1,2,3,4" << false;
    QTest::newRow("trailing blank") << "1.2.3.4 " << false;
    QTest::newRow("leading blank") << " 1.2.3.4" << false;
    QTest::newRow("trailing line end") << "1.2.3.4\n" << false;
    QTest::newRow("minus sign") << "1.2.3.-4" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("digits, no dot") << "1234" << false;

    // Empty groups the rules catch...
    QTest::newRow("empty second group") << "1..2.3" << false;
    QTest::newRow("empty third group") << "1.2..3" << false;
    QTest::newRow("ends with third dot") << "1.2.3." << false;
    QTest::newRow("two dots only") << ".." << false;
    // ...and the ones they let through.
    QTest::newRow("two groups") << "1.2" << true;
    QTest::newRow("ends with first dot") << "1." << true;
    QTest::newRow("ends with second dot") << "1.2." << true;
    QTest::newRow("a dot alone") << "." << true;
    QTest::newRow("empty first group") << ".1.2.3" << true;

    // A fourth or later dot moves the third dot; its digits run on in group 4.
    QTest::newRow("five groups, 45") << "1.2.3.4.5" << true;
    QTest::newRow("five groups, 255") << "1.2.3.25.5" << true;
    QTest::newRow("five groups, 265") << "1.2.3.26.5" << false;
    QTest::newRow("ends with fourth dot") << "1.2.3.4." << false;
    QTest::newRow("fourth dot right after third") << "1.2.3..4" << true;
    QTest::newRow("many dots, group 4 is 1234") << "1.2.3.1.2.3.4" << false;

    QTest::newRow("leading zeros") << "1.2.3.0004" << true;
    QTest::newRow("leading zeros before 255") << "0255.1.1.1" << true;
    QTest::newRow("thirty zeros then 1") << QString(30, u'0') + "1.2.3.4" << true;
    QTest::newRow("long digit run") << "1.2.3.99999" << false;
    QTest::newRow("digit run past any integer") << QString(40, u'9') + ".1.1.1" << false;
    QTest::newRow("fullwidth digit") << QString::fromUtf8("\xef\xbc\x91.2.3.4") << false;
    QTest::newRow("arabic-indic digit") << QString::fromUtf8("\xd9\xa3.2.3.4") << false;
}

void EthernetRules::validIp() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(ValidIP(text), valid);
}

void EthernetRules::datagramType_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("type");  // -1: too short to carry one

    QTest::newRow("empty") << QByteArray() << -1;
    QTest::newRow("one byte") << bytes({0x08}) << -1;
    QTest::newRow("command, no payload") << bytes({0x00, 0x08}) << 8;
    QTest::newRow("count") << bytes({0x00, 0x10, 0xFF, 0xFE}) << 16;
    QTest::newRow("high byte first") << bytes({0x80, 0x00, 0x08}) << 32768;
    QTest::newRow("largest") << bytes({0xFF, 0xFF}) << 65535;
}

void EthernetRules::datagramType() {
    QFETCH(QByteArray, datagram);
    QFETCH(int, type);
    const std::optional<quint16> found = kestrel::datagramType(datagram);
    QCOMPARE(found.has_value() ? int(*found) : -1, type);
}

void EthernetRules::driveTypes() {
    QVERIFY(!isDriveType(6));
    QVERIFY(isDriveType(7));
    QVERIFY(isDriveType(99));
    QVERIFY(!isDriveType(100));
    QVERIFY(!isDriveType(0x0808));
    QCOMPARE(driveQuery(), bytes({0x00, 0x63, 0x00}));
    QCOMPARE(envelope(DatagramType::Start), bytes({0x00, 0x12}));
}

void EthernetRules::pingAnswer_data() {
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("message");

    const QString responded = QStringLiteral("Drive responded.  ARM build number is ");
    QTest::newRow("nothing") << QByteArray() << "No response from drive";
    QTest::newRow("three bytes") << bytes({0x00, 0x00, 0x01}) << "No response from drive";
    QTest::newRow("build only") << bytes({0x00, 0x00, 0x01, 0x2C}) << responded + "300";
    QTest::newRow("nine bytes, no MAC")
        << bytes({0x00, 0x00, 0x01, 0x2C, 0x00, 0x11, 0x22, 0x33, 0x44}) << responded + "300";
    QTest::newRow("build and MAC")
        << bytes({0x00, 0x00, 0x01, 0x2C, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55})
        << responded + "300. MAC ID = 0-11-22-33-44-55";
    QTest::newRow("MAC without leading zeros")
        << bytes({0x00, 0x00, 0x00, 0x07, 0x00, 0x11, 0x0A, 0xFF, 0x2B, 0x03})
        << responded + "7. MAC ID = 0-11-A-FF-2B-3";
    QTest::newRow("bytes after the MAC unread")
        << bytes({0x00, 0x00, 0x00, 0x01, 1, 2, 3, 4, 5, 6, 0xEE, 0xEE})
        << responded + "1. MAC ID = 1-2-3-4-5-6";
    QTest::newRow("largest signed build")
        << bytes({0x7F, 0xFF, 0xFF, 0xFF}) << responded + "2147483647";
    QTest::newRow("build of 2^31") << bytes({0x80, 0x00, 0x00, 0x00}) << responded + "2147483648";
    QTest::newRow("largest build")
        << bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01})
        << responded + "4294967295. MAC ID = DE-AD-BE-EF-0-1";
}

void EthernetRules::pingAnswer() {
    QFETCH(QByteArray, answer);
    QFETCH(QString, message);
    QCOMPARE(PingAnswerMessage(answer), message);
}

QTEST_APPLESS_MAIN(EthernetRules)
#include "test_ethernet_rules.moc"
