// The transfer's pure rules: whether the drive's count says it holds the
// block just sent, and which boot loaders take the image fast. What the
// drive's bytes mean is tested by their effect on a transfer.
#include <QtTest>

#include "download/DownloadSequence.h"

using namespace kestrel;

class TransferRulesTest : public QObject {
    Q_OBJECT
  private slots:
    void driveHasBlock_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("delivered");  // blocks delivered before this one
        QTest::addColumn<bool>("has");
        QTest::newRow("first arrived") << 1 << 0 << true;
        QTest::newRow("first lost") << 0 << 0 << false;
        QTest::newRow("not reported") << -1 << 0 << false;
        QTest::newRow("a block ahead") << 12 << 10 << false;
        QTest::newRow("wrapped to 0") << 0 << 65535 << true;
        QTest::newRow("just before the wrap") << 65535 << 65534 << true;
        QTest::newRow("second time round, lost") << 4 << 65540 << false;
    }
    void driveHasBlock() {
        QFETCH(int, count);
        QFETCH(int, delivered);
        QFETCH(bool, has);
        QCOMPARE(kestrel::driveHasBlock(count, delivered), has);
    }
    void highSpeedBootLoaders() {
        QList<int> fast;
        for (int version = -1; version <= 256; ++version) {
            if (IsHighSpeedBootLoader(version)) {
                fast << version;
            }
        }
        QCOMPARE(fast, (QList<int>{1, 5, 21, 37, 53}));
    }
};

QTEST_GUILESS_MAIN(TransferRulesTest)
#include "test_transfer_rules.moc"
