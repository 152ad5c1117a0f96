// Identification over Ethernet on simulated time: what the drive's identity
// and minor-revision replies make the drive frame show, what the three
// entry points return, and the hexadecimal reading of the minor revision.
#include <QtTest>

#include "Bytes.h"
#include "Doubles.h"
#include "drive/EnetIdentification.h"
#include "ethernet/Datagram.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

const QString kDriveIp = QStringLiteral("192.168.0.20");

// A drive that answers "C" and 0x8E "y" with scripted payloads (none: silent)
// and counts what it was asked.
class ScriptedDrive final : public UdpPeer {
  public:
    explicit ScriptedDrive(TestPlatform& tp) : tp_(tp) { tp_.udp.setPeer(this); }
    ~ScriptedDrive() override { tp_.udp.setPeer(nullptr); }
    void hostDatagram(const QByteArray& datagram, const QString& host, quint16) override {
        const bool identity = datagram.startsWith(bytes({0, 8, 'C', 2}));
        const bool minor = datagram == bytes({0, 8, 0x8E, 4, 'y'});
        ++(identity ? identityAsked : minor ? minorAsked : otherAsked);
        const QByteArray& answer = identity ? identityReply : minorReply;
        if ((identity || minor) && !answer.isNull()) {
            tp_.time.after(0.001, [this, answer, host] {
                tp_.udp.receiveFromNetwork(envelope(DatagramType::Command, answer), host);
            });
        }
    }
    QByteArray identityReply;
    QByteArray minorReply;
    int identityAsked = 0;
    int minorAsked = 0;
    int otherAsked = 0;

  private:
    TestPlatform& tp_;
};

}  // namespace

class EnetIdentificationTest : public QObject {
    Q_OBJECT
  private slots:
    void identification_data();
    void identification();
    void hexCharacterCode_data();
    void hexCharacterCode();
};

void EnetIdentificationTest::identification_data() {
    QTest::addColumn<QByteArray>("identity");  // null: no reply
    QTest::addColumn<QByteArray>("minor");
    QTest::addColumn<bool>("ethernet");
    QTest::addColumn<QString>("revision");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("modelCode");  // GetEnetDriveModel
    QTest::addColumn<bool>("checkDrive");
    QTest::addColumn<int>("minorAsked");  // per identification

    const QByteArray minorB = bytes({'0', '0', 0x34, 0x32});
    const DriveShown none;
    QTest::newRow("KX-D1 1.05 B") << bytes({0x05, 0x14}) << minorB << true << "1.05 B"
                                  << "KX-D1"
                                  << "Stepper Drive" << 20 << true << 1;
    QTest::newRow("revision code 255")
        << bytes({0xFF, 0x37}) << minorB << true << "3.55 B"
        << "KX-M1"
        << "NEMA 17 Integrated Step Motor & Drive" << 55 << true << 1;
    QTest::newRow("model 0") << bytes({0x00, 0x00}) << minorB << true << "1.00 B"
                             << "Unknown" << QString() << 0 << false << 1;
    QTest::newRow("model the table does not know")
        << bytes({0x03, 0x29}) << minorB << true << "1.03 B"
        << "Unknown" << QString() << 41 << true << 1;
    QTest::newRow("one-byte reply") << bytes({0x05}) << minorB << true << none.revision
                                    << none.model << none.description << 0 << false << 0;
    QTest::newRow("no reply") << QByteArray() << minorB << true << none.revision << none.model
                              << none.description << 0 << false << 0;
    QTest::newRow("minor digits 4 Z") << bytes({0x05, 0x14}) << bytes({'0', '0', 0x34, 0x5A})
                                      << true << QStringLiteral("1.05 \x04") << "KX-D1"
                                      << "Stepper Drive" << 20 << true << 1;
    QTest::newRow("minor digits Z 4") << bytes({0x05, 0x14}) << bytes({'0', '0', 0x5A, 0x34})
                                      << true << QStringLiteral("1.05 ") + QChar(0) << "KX-D1"
                                      << "Stepper Drive" << 20 << true << 1;
    QTest::newRow("minor reply of three bytes")
        << bytes({0x05, 0x14}) << bytes({'0', '0', 0x34}) << true << "1.05"
        << "KX-D1"
        << "Stepper Drive" << 20 << true << 1;
    QTest::newRow("no minor reply") << bytes({0x05, 0x14}) << QByteArray() << true << "1.05"
                                    << "KX-D1"
                                    << "Stepper Drive" << 20 << true << 1;
    QTest::newRow("serial link chosen") << bytes({0x05, 0x14}) << minorB << false << "1.05"
                                        << "KX-D1"
                                        << "Stepper Drive" << 20 << true << 0;
}

void EnetIdentificationTest::identification() {
    QFETCH(QByteArray, identity);
    QFETCH(QByteArray, minor);
    QFETCH(bool, ethernet);
    QFETCH(QString, revision);
    QFETCH(QString, model);
    QFETCH(QString, description);
    QFETCH(int, modelCode);
    QFETCH(bool, checkDrive);
    QFETCH(int, minorAsked);

    TestSession ts;
    ScriptedDrive drive(ts.tp);
    drive.identityReply = identity;
    drive.minorReply = minor;
    ts.tp.serial.setOpenResult(1, 0);
    ts.session.Form_Load();
    ts.session.editAddress(kDriveIp);
    if (ethernet) {
        ts.session.driveAddress().selectEthernet();
    }
    EnetIdentification& id = ts.session.enetIdentification();
    const DriveShown before = ts.seen.drive;

    // Each entry point runs the same exchange and shows the same.
    QCOMPARE(id.GetEnetDriveModel(), modelCode);
    QCOMPARE(id.CheckDrive(), checkDrive);
    ts.session.driveState().DriveModelCode = -1;
    QCOMPARE(ts.session.identifyOverEthernet(), checkDrive);
    QCOMPARE(ts.session.driveState().DriveModelCode, modelCode);
    QCOMPARE(drive.identityAsked, 3);
    QCOMPARE(drive.minorAsked, 3 * minorAsked);
    QCOMPARE(drive.otherAsked, 0);
    const DriveShown shown{revision, model, description};
    QCOMPARE(ts.seen.drive, identity.size() >= 2 ? shown : before);
    QVERIFY(ts.seen.shown.empty());
}

void EnetIdentificationTest::hexCharacterCode_data() {
    QTest::addColumn<QByteArray>("digits");
    QTest::addColumn<int>("code");
    QTest::newRow("42") << QByteArray("42") << 0x42;
    QTest::newRow("lower case") << QByteArray("af") << 0xAF;
    QTest::newRow("upper case") << QByteArray("FF") << 0xFF;
    QTest::newRow("stops at Z") << QByteArray("4Z") << 4;
    QTest::newRow("no digit before Z") << QByteArray("Z4") << 0;
    QTest::newRow("leading blank") << QByteArray(" 7") << 7;
    QTest::newRow("trailing blank") << QByteArray("7 ") << 7;
    QTest::newRow("blanks only") << QByteArray("  ") << 0;
    QTest::newRow("G is no digit") << QByteArray("1G") << 1;
}

void EnetIdentificationTest::hexCharacterCode() {
    QFETCH(QByteArray, digits);
    QFETCH(int, code);
    QCOMPARE(kestrel::hexCharacterCode(digits[0], digits[1]), code);
}

QTEST_GUILESS_MAIN(EnetIdentificationTest)
#include "test_enet_identification.moc"
