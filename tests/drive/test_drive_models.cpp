// The model table, the family table that decides whether a file fits a
// drive, and how revisions are shown.
#include <QLocale>
#include <QtTest>
#include <set>

#include "Doubles.h"
#include "drive/DriveModels.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

using Codes = QList<int>;

const QString kPrior = QStringLiteral("prior caption");

// File numbers of any row, plus the gaps and neighbours around them.
Codes codesToProbe() {
    Codes codes;
    for (int code = -2; code <= 260; ++code) {
        codes << code;
    }
    codes << 32767 << -32768;
    return codes;
}

}  // namespace

class DriveModelsTest : public QObject {
    Q_OBJECT
  private slots:
    void modelTable_data();
    void modelTable();
    void describeShowsTheModelOrClearsTheCode_data();
    void describeShowsTheModelOrClearsTheCode();
    void familyRows_data();
    void familyRows();
    void familiesDoNotOverlap();
    void edgeCases_data();
    void edgeCases();
    void unknownFileIsResetAndAccepted_data();
    void unknownFileIsResetAndAccepted();
    void noDriveKnownAcceptsAnyFileAndChangesNothing();
    void revisionText_data();
    void revisionText();
    void revisionTextUsesAPointInAnyLocale();
};

void DriveModelsTest::modelTable_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("known");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("description");
    const QString stepper = QStringLiteral("Stepper Drive");
    QTest::newRow("20") << 20 << true << "KX-D1" << stepper;
    QTest::newRow("21") << 21 << true << "KX-D2" << stepper;
    QTest::newRow("49") << 49 << true << "KX-M3"
                        << "NEMA 23 Integrated Step Motor & Drive";
    QTest::newRow("51") << 51 << true << "KX-M4"
                        << "NEMA 24 Integrated Step Motor & Drive";
    QTest::newRow("55") << 55 << true << "KX-M1"
                        << "NEMA 17 Integrated Step Motor & Drive";
    // Codes the family table knows but the model table does not.
    for (int code : {0, 19, 22, 31, 41, 50, 56, 57, 130, 144, 255, -1}) {
        QTest::addRow("unknown %d", code) << code << false << "Unknown" << QString();
    }
}

void DriveModelsTest::modelTable() {
    QFETCH(int, code);
    QFETCH(bool, known);
    QFETCH(QString, model);
    QFETCH(QString, description);
    const DriveModelInfo info = lookupDriveModel(code);
    QCOMPARE(info.known, known);
    QCOMPARE(info.model, model);
    QCOMPARE(info.description, description);
}

void DriveModelsTest::describeShowsTheModelOrClearsTheCode_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("heldBefore");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("heldAfter");
    QTest::newRow("20 keeps the code") << 20 << 20 << "KX-D1"
                                       << "Stepper Drive" << 20;
    QTest::newRow("55") << 55 << 55 << "KX-M1"
                        << "NEMA 17 Integrated Step Motor & Drive" << 55;
    QTest::newRow("0") << 0 << 0 << "Unknown"
                       << "" << 0;
    QTest::newRow("41 clears the code") << 41 << 41 << "Unknown"
                                        << "" << 0;
    // Only the window's code is touched, whatever the argument was.
    QTest::newRow("known code leaves another code alone")
        << 49 << 7 << "KX-M3"
        << "NEMA 23 Integrated Step Motor & Drive" << 7;
}

void DriveModelsTest::describeShowsTheModelOrClearsTheCode() {
    QFETCH(int, code);
    QFETCH(int, heldBefore);
    QFETCH(QString, model);
    QFETCH(QString, description);
    QFETCH(int, heldAfter);
    TestPlatform tp;
    Mainform form(tp.platform);
    form.setCaption(Label::DriveDesc, kPrior);
    form.driveState().DriveModelCode = heldBefore;

    DescribeDriveModel(code, form, form.driveState());

    QCOMPARE(form.caption(Label::DriveModel), model);
    QCOMPARE(form.caption(Label::DriveDesc), description);
    QCOMPARE(form.driveState().DriveModelCode, heldAfter);
}

// Each row of the family table: every file number of the row against every
// drive code, for the result and for when the caption is written.
void DriveModelsTest::familyRows_data() {
    QTest::addColumn<Codes>("files");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("captionAlways");
    QTest::addColumn<Codes>("accepted");
    QTest::newRow("KX-D") << Codes{20, 21, 26, 27} << "KX-D1 or D2" << true
                          << Codes{20, 21, 26, 27, 129, 130};
    QTest::newRow("QN-A") << Codes{22, 23, 24, 25, 28, 29} << "QN-A" << true
                          << Codes{11, 12, 13, 14, 16, 17, 19, 22, 23, 24, 25, 28, 29};
    QTest::newRow("QN-B") << Codes{41, 42, 43, 47} << "QN-B" << true
                          << Codes{41, 42, 43, 44, 45, 46, 47, 48};
    QTest::newRow("QN-B-H") << Codes{44, 45, 46, 48} << "QN-B-H" << true
                            << Codes{41, 42, 43, 44, 45, 46, 47, 48};
    QTest::newRow("KX-M3") << Codes{49, 50, 54} << "KX-M3" << false << Codes{49, 50, 54};
    QTest::newRow("KX-M4") << Codes{51, 52, 53} << "KX-M4" << false << Codes{51, 52, 53};
    QTest::newRow("QN-C") << Codes{144, 145, 146} << "QN-C" << false
                          << Codes{51, 52, 53, 144, 145, 146};
    QTest::newRow("KX-M1") << Codes{55, 56, 57} << "KX-M1" << false << Codes{55, 56, 57};
    QTest::newRow("QN-E-L/H") << Codes{79, 80, 81, 82, 83, 85, 86, 87, 88, 89} << "QN-E-L/H" << true
                              << Codes{79, 80, 81, 82, 83, 85, 86, 87, 88, 89};
}

void DriveModelsTest::familyRows() {
    QFETCH(Codes, files);
    QFETCH(QString, caption);
    QFETCH(bool, captionAlways);
    QFETCH(Codes, accepted);
    TestPlatform tp;
    Mainform form(tp.platform);
    for (int file : files) {
        for (int drive : codesToProbe()) {
            if (drive == 0) {
                continue;  // no drive known: its own rule
            }
            form.setCaption(Label::FileModel, kPrior);
            form.setCaption(Label::FileRev, QStringLiteral("1.05"));
            form.firmwareState().FileRevNumber = 105;
            int fileModel = file;
            const bool expected = accepted.contains(drive);
            const bool result = FileMatchesDrive(fileModel, drive, form, form.firmwareState());
            const QByteArray where =
                QStringLiteral("file %1, drive %2").arg(file).arg(drive).toUtf8();
            QVERIFY2(result == expected, where.constData());
            QVERIFY2(
                form.caption(Label::FileModel) == (captionAlways || expected ? caption : kPrior),
                where.constData());
            QVERIFY2(fileModel == file, where.constData());
            QVERIFY2(form.caption(Label::FileRev) == QStringLiteral("1.05"), where.constData());
            QVERIFY2(form.firmwareState().FileRevNumber == 105, where.constData());
        }
    }
}

void DriveModelsTest::familiesDoNotOverlap() {
    std::set<int> seen;
    for (const DriveFamily& family : driveFamilies()) {
        for (int file : family.fileModels) {
            QVERIFY2(seen.insert(file).second, qPrintable(QString::number(file)));
            QCOMPARE(findDriveFamily(file), &family);
        }
    }
}

void DriveModelsTest::edgeCases_data() {
    QTest::addColumn<int>("file");
    QTest::addColumn<int>("drive");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("caption");
    QTest::newRow("57 into 55") << 57 << 55 << true << "KX-M1";
    QTest::newRow("57 into 49 keeps the caption") << 57 << 49 << false << kPrior;
    QTest::newRow("20 into 130") << 20 << 130 << true << "KX-D1 or D2";
    QTest::newRow("20 into 22 still names the file") << 20 << 22 << false << "KX-D1 or D2";
    QTest::newRow("22 into 11") << 22 << 11 << true << "QN-A";
    QTest::newRow("144 into 51") << 144 << 51 << true << "QN-C";
    QTest::newRow("51 into 144") << 51 << 144 << false << kPrior;
    QTest::newRow("44 into 41") << 44 << 41 << true << "QN-B-H";
}

void DriveModelsTest::edgeCases() {
    QFETCH(int, file);
    QFETCH(int, drive);
    QFETCH(bool, result);
    QFETCH(QString, caption);
    TestPlatform tp;
    Mainform form(tp.platform);
    form.setCaption(Label::FileModel, kPrior);
    form.firmwareState().FileModelCode = file;
    QCOMPARE(
        FileMatchesDrive(form.firmwareState().FileModelCode, drive, form, form.firmwareState()),
        result);
    QCOMPARE(form.caption(Label::FileModel), caption);
    QCOMPARE(form.firmwareState().FileModelCode, file);
}

void DriveModelsTest::unknownFileIsResetAndAccepted_data() {
    QTest::addColumn<int>("file");
    QTest::addColumn<int>("drive");
    QTest::newRow("84, a gap in QN-E-L/H") << 84 << 84;
    QTest::newRow("84 into another drive") << 84 << 55;
    QTest::newRow("12, named QN-G when chosen") << 12 << 12;
    QTest::newRow("129, named QN-F when chosen") << 129 << 20;
    QTest::newRow("file 0") << 0 << 55;
    QTest::newRow("negative") << -5 << 55;
}

void DriveModelsTest::unknownFileIsResetAndAccepted() {
    QFETCH(int, file);
    QFETCH(int, drive);
    TestPlatform tp;
    Mainform form(tp.platform);
    FirmwareState& firmware = form.firmwareState();
    firmware.FileModelCode = file;
    firmware.FileRevNumber = 105;
    form.setCaption(Label::FileRev, QStringLiteral("1.05"));
    form.setCaption(Label::FileModel, QStringLiteral("QN-G"));

    QVERIFY(FileMatchesDrive(firmware.FileModelCode, drive, form, firmware));

    QCOMPARE(form.caption(Label::FileModel), QStringLiteral("Unknown"));
    QCOMPARE(form.caption(Label::FileRev), QStringLiteral("0.00"));
    QCOMPARE(firmware.FileModelCode, 0);
    QCOMPARE(firmware.FileRevNumber, 0);
}

void DriveModelsTest::noDriveKnownAcceptsAnyFileAndChangesNothing() {
    TestPlatform tp;
    Mainform form(tp.platform);
    FirmwareState& firmware = form.firmwareState();
    for (int file : codesToProbe()) {
        firmware.FileModelCode = file;
        firmware.FileRevNumber = 105;
        form.setCaption(Label::FileRev, QStringLiteral("1.05"));
        form.setCaption(Label::FileModel, kPrior);
        QVERIFY(FileMatchesDrive(firmware.FileModelCode, 0, form, firmware));
        QCOMPARE(form.caption(Label::FileModel), kPrior);
        QCOMPARE(form.caption(Label::FileRev), QStringLiteral("1.05"));
        QCOMPARE(firmware.FileModelCode, file);
        QCOMPARE(firmware.FileRevNumber, 105);
    }
}

void DriveModelsTest::revisionText_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << "1.00";
    QTest::newRow("5") << 5 << "1.05";
    QTest::newRow("10") << 10 << "1.10";
    QTest::newRow("99") << 99 << "1.99";
    QTest::newRow("100") << 100 << "2.00";
    QTest::newRow("255, the largest byte") << 255 << "3.55";
    QTest::newRow("-100") << -100 << "0.00";
    QTest::newRow("-105") << -105 << "-0.05";
    QTest::newRow("-250") << -250 << "-1.50";
    QTest::newRow("32767") << 32767 << "328.67";
}

void DriveModelsTest::revisionText() {
    QFETCH(int, number);
    QFETCH(QString, text);
    QCOMPARE(DriveRevisionText(number), text);
}

void DriveModelsTest::revisionTextUsesAPointInAnyLocale() {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QString text = DriveRevisionText(5);
    QLocale::setDefault(before);
    QCOMPARE(text, QStringLiteral("1.05"));
}

QTEST_MAIN(DriveModelsTest)
#include "test_drive_models.moc"
