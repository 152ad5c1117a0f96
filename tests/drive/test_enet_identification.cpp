// Identification over Ethernet on simulated time: what the drive's identity
// and minor-revision replies make the drive frame show, what the three entry
// points return, and the hexadecimal reading of the minor revision.
#include <QtTest>

#include "Bytes.h"
#include "Doubles.h"
#include "drive/EnetIdentification.h"
#include "ethernet/Datagram.h"

using namespace kestrel;
using namespace kestrel::testing;

namespace {

// A drive that answers "C" and 0x8E "y" with scripted payloads (null: silent)
// and counts the questions: identity, minor revision, anything else.
struct ScriptedDrive final : UdpPeer {
    ScriptedDrive(TestPlatform& platform, QByteArray identity, QByteArray minor)
        : tp(platform), replies{identity, minor} {
        tp.udp.setPeer(this);
    }
    ~ScriptedDrive() override { tp.udp.setPeer(nullptr); }
    void hostDatagram(const QByteArray& datagram, const QString& host, quint16) override {
        const int q = datagram.startsWith(bytes({0, 8, 'C', 2})) ? 0
                      : datagram == bytes({0, 8, 0x8E, 4, 'y'})  ? 1
                                                                 : 2;
        ++asked[q];
        if (q < 2 && !replies[q].isNull()) {
            tp.time.after(0.001, [this, host, reply = replies[q]] {
                tp.udp.receiveFromNetwork(envelope(DatagramType::Command, reply), host);
            });
        }
    }
    TestPlatform& tp;
    QByteArray replies[2];
    QList<int> asked{0, 0, 0};
};

}  // namespace

class EnetIdentificationTest : public QObject {
    Q_OBJECT
  private slots:
    void identification_data() {
        QTest::addColumn<QByteArray>("identity");  // null: no reply
        QTest::addColumn<QByteArray>("minor");
        QTest::addColumn<bool>("ethernet");
        QTest::addColumn<QString>("revision");
        QTest::addColumn<QString>("model");
        QTest::addColumn<int>("modelCode");  // GetEnetDriveModel
        QTest::addColumn<bool>("checkDrive");
        auto row = [](const char* name, const QByteArray& identity, const QByteArray& minor,
                      bool ethernet, const QString& revision, const char* model, int code,
                      bool check) {
            QTest::newRow(name) << identity << minor << ethernet << revision << model << code
                                << check;
        };
        const QByteArray d1 = bytes({0x05, 0x14});
        const QByteArray b = bytes({'0', '0', 0x34, 0x32});
        row("KX-D1 1.05 B", d1, b, true, "1.05 B", "KX-D1", 20, true);
        row("revision code 255", bytes({0xFF, 0x37}), b, true, "3.55 B", "KX-M1", 55, true);
        row("model 0", bytes({0, 0}), b, true, "1.00 B", "Unknown", 0, false);
        row("model not in the table", bytes({3, 0x29}), b, true, "1.03 B", "Unknown", 41, true);
        row("one-byte reply", bytes({5}), b, true, "0.00", "None", 0, false);
        row("no reply", QByteArray(), b, true, "0.00", "None", 0, false);
        row("minor 4 Z", d1, bytes({'0', '0', 0x34, 0x5A}), true, "1.05 \x04", "KX-D1", 20, true);
        row("minor Z 4", d1, bytes({'0', '0', 0x5A, 0x34}), true,
            QStringLiteral("1.05 ") + QChar(0), "KX-D1", 20, true);
        row("minor of three bytes", d1, bytes({'0', '0', 0x34}), true, "1.05", "KX-D1", 20, true);
        row("no minor reply", d1, QByteArray(), true, "1.05", "KX-D1", 20, true);
        row("serial link chosen", d1, b, false, "1.05", "KX-D1", 20, true);
    }
    void identification() {
        QFETCH(QByteArray, identity);
        QFETCH(QByteArray, minor);
        QFETCH(bool, ethernet);
        QFETCH(int, modelCode);
        QFETCH(bool, checkDrive);
        TestSession ts;
        ScriptedDrive drive(ts.tp, identity, minor);
        ts.tp.serial.setOpenResult(1, 0);
        ts.session.Form_Load();
        ts.session.editAddress(QStringLiteral("192.168.0.20"));
        if (ethernet) {
            ts.session.driveAddress().selectEthernet();
        }
        // Each entry point runs the same exchange and shows the same.
        QCOMPARE(ts.session.enetIdentification().GetEnetDriveModel(), modelCode);
        QCOMPARE(ts.session.enetIdentification().CheckDrive(), checkDrive);
        ts.session.driveState().DriveModelCode = -1;
        QCOMPARE(ts.session.identifyOverEthernet(), checkDrive);
        QCOMPARE(ts.session.driveState().DriveModelCode, modelCode);
        const int minorAsked = ethernet && identity.size() >= 2 ? 3 : 0;
        QCOMPARE(drive.asked, (QList<int>{3, minorAsked, 0}));
        QTEST(ts.seen.drive.revision, "revision");
        QTEST(ts.seen.drive.model, "model");
        QVERIFY(ts.seen.shown.empty());
    }

    void hexCharacterCode_data() {
        QTest::addColumn<QByteArray>("digits");
        QTest::addColumn<int>("code");
        QTest::newRow("lower case") << QByteArray("af") << 0xAF;
        QTest::newRow("upper case") << QByteArray("FF") << 0xFF;
        QTest::newRow("stops at Z") << QByteArray("4Z") << 4;
        QTest::newRow("no digit before Z") << QByteArray("Z4") << 0;
        QTest::newRow("G is no digit") << QByteArray("1G") << 1;
        QTest::newRow("leading blank") << QByteArray(" 7") << 7;
        QTest::newRow("trailing blank") << QByteArray("7 ") << 7;
        QTest::newRow("blanks only") << QByteArray("  ") << 0;
    }
    void hexCharacterCode() {
        QFETCH(QByteArray, digits);
        QTEST(kestrel::hexCharacterCode(digits[0], digits[1]), "code");
    }
};

QTEST_GUILESS_MAIN(EnetIdentificationTest)
#include "test_enet_identification.moc"
