// The transfer's pure rules: what the drive's bytes mean, and whether the
// drive's count says it holds the block just sent.
#include <QtTest>

#include "download/TransferRules.h"

using namespace kestrel;

Q_DECLARE_METATYPE(kestrel::DriveByte)

class TransferRulesTest : public QObject {
    Q_OBJECT
  private slots:
    void driveBytes_data() {
        QTest::addColumn<int>("byte");
        QTest::addColumn<DriveByte>("meaning");
        QTest::newRow("XOFF") << 0x13 << DriveByte::HoldOn;
        QTest::newRow("XON") << 0x11 << DriveByte::HoldOff;
        QTest::newRow(".") << int('.') << DriveByte::Dot;
        QTest::newRow("LF") << 0x0A << DriveByte::Ignored;
        QTest::newRow("CR") << 0x0D << DriveByte::LineEnd;
        QTest::newRow("E") << int('E') << DriveByte::Error;
        QTest::newRow("e is text") << int('e') << DriveByte::Text;
        QTest::newRow("NUL") << 0x00 << DriveByte::Text;
        QTest::newRow("0xFF") << 0xFF << DriveByte::Text;
    }
    void driveBytes() {
        QFETCH(int, byte);
        QFETCH(DriveByte, meaning);
        QCOMPARE(classifyDriveByte(static_cast<unsigned char>(byte)), meaning);
    }

    void driveHasBlock_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("delivered");  // blocks delivered before this one
        QTest::addColumn<bool>("has");
        QTest::newRow("first block arrived") << 1 << 0 << true;
        QTest::newRow("first block lost") << 0 << 0 << false;
        QTest::newRow("not reported") << -1 << 0 << false;
        QTest::newRow("arrived after earlier losses") << 11 << 10 << true;
        QTest::newRow("a block ahead is impossible") << 12 << 10 << false;
        QTest::newRow("count wrapped to 0") << 0 << 65535 << true;
        QTest::newRow("just before the wrap") << 65535 << 65534 << true;
        QTest::newRow("second time round") << 5 << 65540 << true;
        QTest::newRow("second time round, lost") << 4 << 65540 << false;
    }
    void driveHasBlock() {
        QFETCH(int, count);
        QFETCH(int, delivered);
        QFETCH(bool, has);
        QCOMPARE(kestrel::driveHasBlock(count, delivered), has);
    }
};

QTEST_GUILESS_MAIN(TransferRulesTest)
#include "test_transfer_rules.moc"
