// Whether a firmware file fits the drive, and what the drive is over Ethernet:
// through the session whose captions these write, on simulated time.
#include <QtTest>

#include "Bytes.h"
#include "Doubles.h"
#include "drive/DriveModels.h"
#include "ethernet/Datagram.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// Answers "C" with `identity` and the minor-revision question with `minor` (null: silent).
struct ScriptedDrive final : UdpPeer {
    ScriptedDrive(TestPlatform& p, QByteArray identityReply, QByteArray minorReply)
        : tp(p), identity(std::move(identityReply)), minor(std::move(minorReply)) {
        tp.udp.setPeer(this);
    }
    ~ScriptedDrive() override { tp.udp.setPeer(nullptr); }
    void hostDatagram(const QByteArray& datagram, const QString& host, quint16) override {
        const QByteArray& reply = datagram.at(2) == 'C' ? identity : minor;
        if (!reply.isNull()) {
            tp.time.after(0.001, [this, host, reply] {
                tp.udp.receiveFromNetwork(envelope(DatagramType::Command, reply), host);
            });
        }
    }
    TestPlatform& tp;
    QByteArray identity, minor;
};

}  // namespace

class DriveTest : public QObject {
    Q_OBJECT
  private slots:
    void fileMatchesDrive_data() {
        QTest::addColumn<int>("file");
        QTest::addColumn<int>("drive");  // 0: none known
        QTest::addColumn<bool>("fits");
        QTest::addColumn<QString>("caption");  // FileModel afterwards
        QTest::newRow("no drive known: untouched") << 84 << 0 << true << QString("prior");
        // Its caption shows even on a drive it refuses.
        QTest::newRow("first row, one past") << 27 << 131 << false << QString("KX-D1 or D2");
        QTest::newRow("KX-M3 fits") << 54 << 49 << true << QString("KX-M3");
        QTest::newRow("KX-M3 refused: caption kept") << 49 << 53 << false << QString("prior");
        QTest::newRow("last row, last code") << 89 << 79 << true << QString("QN-E-L/H");
        // A file in no row fits and is reset to unknown, its revision number too.
        QTest::newRow("gap in the last row") << 84 << 84 << true << QString("Unknown");
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

    void identification_data() {
        QTest::addColumn<QByteArray>("identity");  // revision, model code
        QTest::addColumn<QByteArray>("minor");
        QTest::addColumn<QString>("shown");  // revision, model
        QTest::addColumn<int>("modelCode");
        auto row = [](const char* name, const char* identity, const char* minor, const char* shown,
                      int code) {
            QTest::newRow(name) << QByteArray::fromHex(identity) << QByteArray(minor)
                                << QString::fromLatin1(shown) << code;
        };
        // The minor's code: either case, a blank skipped, a non-digit ends it.
        row("KX-D1 1.05 B", "0514", "0042", "1.05 B, KX-D1", 20);
        row("model 0, minor blank 7", "0000", "00 7", "1.00 \x07, Unknown", 0);
        row("identity one byte short", "05", "0042", "0.00, None", 0);
        row("minor one byte short", "0514", "004", "1.05, KX-D1", 20);
        row("revision 255, last model, af", "ff37", "00af", "3.55 \xaf, KX-M1", 55);
        row("model not in the table, FG", "0329", "00FG", "1.03 \x0f, Unknown", 41);
    }
    // The download's check and the flash tool's entry show the same.
    void identification() {
        QFETCH(QByteArray, identity);
        QFETCH(QByteArray, minor);
        QFETCH(int, modelCode);
        TestSession ts;
        ScriptedDrive drive(ts.tp, identity, minor);
        ts.tp.serial.setOpenResult(1, 0);
        ts.session.Form_Load();
        ts.session.editAddress(QStringLiteral("192.168.0.20"));
        ts.session.driveAddress().selectEthernet();
        QCOMPARE(ts.session.enetIdentification().CheckDrive(), modelCode != 0);
        QCOMPARE(ts.session.identifyOverEthernet(), modelCode != 0);
        QCOMPARE(ts.session.driveState().DriveModelCode, modelCode);
        QTEST(ts.seen.drive.revision + ", " + ts.seen.drive.model, "shown");
        QVERIFY(ts.seen.shown.empty());
    }
};

QTEST_GUILESS_MAIN(DriveTest)
#include "test_drive.moc"
