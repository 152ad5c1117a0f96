// The family table that decides whether a firmware file fits the drive,
// through the session whose captions it writes. The model table is tested
// with the drive's power-up packets.
#include <QtTest>

#include "Doubles.h"
#include "drive/DriveModels.h"

using namespace kestrel;
using Codes = QList<int>;

class DriveModelsTest : public QObject {
    Q_OBJECT
  private slots:
    // A row of the family table each: every file number of the row against
    // every drive code it accepts, the codes just outside that set, and drive
    // 0 (none known).
    void familyRows_data() {
        QTest::addColumn<Codes>("files");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("always");  // the caption is shown also when refused
        QTest::addColumn<Codes>("accepted");
        QTest::addColumn<Codes>("refused");
        const Codes b{41, 42, 43, 44, 45, 46, 47, 48};
        const Codes e{79, 80, 81, 82, 83, 85, 86, 87, 88, 89};
        QTest::newRow("KX-D") << Codes{20, 21, 26, 27} << "KX-D1 or D2" << true
                              << Codes{20, 21, 26, 27, 129, 130} << Codes{19, 22, 28, 128, 131};
        QTest::newRow("QN-A") << Codes{22, 23, 24, 25, 28, 29} << "QN-A" << true
                              << Codes{11, 12, 13, 14, 16, 17, 19, 22, 23, 24, 25, 28, 29}
                              << Codes{10, 15, 18, 20, 21, 26, 27, 30};
        QTest::newRow("QN-B") << Codes{41, 42, 43, 47} << "QN-B" << true << b << Codes{40, 49};
        QTest::newRow("QN-B-H") << Codes{44, 45, 46, 48} << "QN-B-H" << true << b << Codes{40, 49};
        QTest::newRow("KX-M3") << Codes{49, 50, 54} << "KX-M3" << false << Codes{49, 50, 54}
                               << Codes{48, 51, 53, 55};
        QTest::newRow("KX-M4") << Codes{51, 52, 53} << "KX-M4" << false << Codes{51, 52, 53}
                               << Codes{50, 54, 144};
        QTest::newRow("QN-C") << Codes{144, 145, 146} << "QN-C" << false
                              << Codes{51, 52, 53, 144, 145, 146} << Codes{50, 54, 143, 147};
        QTest::newRow("KX-M1") << Codes{55, 56, 57} << "KX-M1" << false << Codes{55, 56, 57}
                               << Codes{49, 54, 58};
        QTest::newRow("QN-E-L/H") << e << "QN-E-L/H" << true << e << Codes{78, 84, 90};
        // 84 is a gap in QN-E-L/H; a file in no row fits and is shown as unknown.
        QTest::newRow("any other")
            << Codes{84, 12, 0, 147, -5} << "Unknown" << true << Codes{84, 12, 55, 1} << Codes{};
    }
    void familyRows() {
        QFETCH(Codes, files);
        QFETCH(QString, caption);
        QFETCH(bool, always);
        QFETCH(Codes, accepted);
        QFETCH(Codes, refused);
        testing::TestSession ts;
        FirmwareState& firmware = ts.session.firmwareState();
        for (const int file : files) {
            for (const int drive : accepted + refused + Codes{0}) {
                ts.session.report().setFileModel(QStringLiteral("prior"));
                ts.session.report().setFileRevision(QStringLiteral("1.05"));
                firmware.FileModelCode = file;
                firmware.FileRevNumber = 105;
                const bool fits = drive == 0 || accepted.contains(drive);
                // With no drive known nothing changes; a file in no row is reset.
                QStringList shown{"prior", "1.05", QString::number(file), "105"};
                if (drive != 0 && caption == QLatin1String("Unknown")) {
                    shown = QStringList{caption, "0.00", "0", "0"};
                } else if (drive != 0 && (always || fits)) {
                    shown[0] = caption;
                }
                const QByteArray where =
                    QByteArray::number(file) + " into " + QByteArray::number(drive);
                QVERIFY2(FileMatchesDrive(firmware.FileModelCode, drive, ts.session.report(),
                                          firmware) == fits,
                         where);
                QVERIFY2((QStringList{ts.seen.file.model, ts.seen.file.revision,
                                      QString::number(firmware.FileModelCode),
                                      QString::number(firmware.FileRevNumber)}) == shown,
                         where);
            }
        }
    }
};

QTEST_MAIN(DriveModelsTest)
#include "test_drive_models.moc"
