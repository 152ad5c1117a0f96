// Whether a firmware file fits the drive: the family table's rule, and what
// the window's caller does with it (captions, and an unknown file's numbers).
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
        QTest::addColumn<FileFit>("fit");
        QTest::newRow("no drive known: untouched") << 84 << 0 << FileFit{};
        QTest::newRow("first row, one past: caption shown anyway")
            << 27 << 131 << FileFit{false, "KX-D1 or D2", false};
        QTest::newRow("KX-M3 refused: caption kept") << 49 << 53 << FileFit{false, "", false};
        QTest::newRow("last row, last code") << 89 << 79 << FileFit{true, "QN-E-L/H", false};
        QTest::newRow("gap: reset, revision too") << 84 << 84 << FileFit{true, "Unknown", true};
    }
    void fileMatchesDrive() {
        QFETCH(int, file);
        QFETCH(int, drive);
        QFETCH(FileFit, fit);
        QVERIFY(judgeFileFit(file, drive) == fit);
        RecordingObserver seen;
        Reporter report(seen);
        report.setFileModel(QStringLiteral("prior"));
        FirmwareState firmware{.path = {}, .FileModelCode = file, .FileRevNumber = 105};
        QCOMPARE(FileMatchesDrive(firmware.FileModelCode, drive, report, firmware), fit.accepted);
        QCOMPARE(seen.file.model, fit.caption.isEmpty() ? QStringLiteral("prior") : fit.caption);
        QCOMPARE((QList<int>{firmware.FileModelCode, firmware.FileRevNumber}),
                 (fit.fileUnknown ? QList<int>{0, 0} : QList<int>{file, 105}));
    }
};

QTEST_GUILESS_MAIN(DriveTest)
#include "test_drive.moc"
