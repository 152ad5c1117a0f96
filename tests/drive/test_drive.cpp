// Whether a firmware file fits the drive, through the session whose captions it writes.
#include <QtTest>

#include "Doubles.h"
#include "drive/DriveModels.h"

using namespace kestrel;
using namespace kestrel::testing;

class DriveTest : public QObject {
    Q_OBJECT
  private slots:
    void fileMatchesDrive_data() {
        QTest::addColumn<int>("file");
        QTest::addColumn<int>("drive");  // 0: none known
        QTest::addColumn<bool>("fits");
        QTest::addColumn<QString>("caption");  // FileModel afterwards
        QTest::newRow("no drive known: untouched") << 84 << 0 << true << QString("prior");
        QTest::newRow("first row, one past: caption shown anyway")
            << 27 << 131 << false << QString("KX-D1 or D2");
        QTest::newRow("KX-M3 refused: caption kept") << 49 << 53 << false << QString("prior");
        QTest::newRow("last row, last code") << 89 << 79 << true << QString("QN-E-L/H");
        QTest::newRow("gap: reset, revision too") << 84 << 84 << true << QString("Unknown");
    }
    void fileMatchesDrive() {
        QFETCH(int, file);
        QFETCH(int, drive);
        QFETCH(QString, caption);
        TestSession ts;
        FirmwareState& firmware = ts.session.firmwareState();
        ts.session.report().setFileModel(QStringLiteral("prior"));
        firmware = {.path = {}, .FileModelCode = file, .FileRevNumber = 105};
        QTEST(FileMatchesDrive(firmware.FileModelCode, drive, ts.session.report(), firmware),
              "fits");
        const bool reset = caption == QLatin1String("Unknown");
        QCOMPARE(ts.seen.file.model, caption);
        QCOMPARE((QList<int>{firmware.FileModelCode, firmware.FileRevNumber}),
                 (reset ? QList<int>{0, 0} : QList<int>{file, 105}));
    }
};

QTEST_GUILESS_MAIN(DriveTest)
#include "test_drive.moc"
