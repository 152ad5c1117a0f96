// The pure rules of the drive's serial messages: packet markers and lengths,
// what a byte outside a packet leaves in the log, rejected replies and the
// boot-loader packet's stand-in bytes.
#include <QtTest>

#include "serial/DrivePackets.h"

using namespace kestrel;

class DrivePacketsTest : public QObject {
    Q_OBJECT
  private slots:
    void markersAndLengths();
    void statusText_data();
    void statusText();
    void rejectedReplies_data();
    void rejectedReplies();
    void bootLoaderStandIn_data();
    void bootLoaderStandIn();
};

void DrivePacketsTest::markersAndLengths() {
    for (int byte = 0; byte <= 255; ++byte) {
        const auto b = static_cast<unsigned char>(byte);
        int expected = 0;
        if (b == 0xF0) {
            expected = 4;
        } else if (b == 0xFF || b == 0xEF || b == 0xF1) {
            expected = 3;
        }
        QCOMPARE(DrivePacketLength(b), expected);
        QCOMPARE(IsDrivePacketMarker(b), expected > 0);
    }
}

void DrivePacketsTest::statusText_data() {
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("text");
    QTest::newRow("CR is a line break") << 0x0D << "\r\n";
    QTest::newRow("LF leaves nothing") << 0x0A << "";
    QTest::newRow("letter") << int('K') << "K";
    QTest::newRow("NUL shows as itself") << 0x00 << QString(QChar(0));
    QTest::newRow("0xEE, the last text byte") << 0xEE << QString(QChar(0xEE));
    QTest::newRow("0xB0 is Latin-1") << 0xB0 << QString(QChar(0xB0));
    for (int byte = 0xEF; byte <= 0xFF; ++byte) {
        QTest::addRow("0x%X leaves nothing", byte) << byte << "";
    }
}

void DrivePacketsTest::statusText() {
    QFETCH(int, byte);
    QFETCH(QString, text);
    QCOMPARE(StatusTextForByte(static_cast<unsigned char>(byte)), text);
}

void DrivePacketsTest::rejectedReplies_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("rejected");
    QTest::newRow("question mark second") << QByteArray("S?\r") << true;
    QTest::newRow("question mark second, longer") << QByteArray("A?12\r") << true;
    QTest::newRow("percent second") << QByteArray("S%\r") << false;
    QTest::newRow("question mark first") << QByteArray("?\r") << false;
    QTest::newRow("CR alone") << QByteArray("\r") << false;
    QTest::newRow("value") << QByteArray("SV=105A\r") << false;
}

void DrivePacketsTest::rejectedReplies() {
    QFETCH(QByteArray, reply);
    QFETCH(bool, rejected);
    QCOMPARE(IsRejectedReply(reply), rejected);
}

void DrivePacketsTest::bootLoaderStandIn_data() {
    QTest::addColumn<int>("fileRev");
    QTest::addColumn<int>("fileModel");
    QTest::addColumn<int>("revision");
    QTest::addColumn<int>("model");
    QTest::newRow("1.05 for model 55") << 105 << 55 << 5 << 55;
    QTest::newRow("1.00 for model 0") << 100 << 0 << 0 << 0;
    QTest::newRow("3.55 for model 255, the largest that fit") << 355 << 255 << 255 << 255;
    QTest::newRow("no file loaded") << 0 << 0 << 0 << 31;
    QTest::newRow("revision below 1.00") << 99 << 55 << 0 << 31;
    QTest::newRow("revision past a byte") << 356 << 55 << 0 << 31;
    QTest::newRow("model past a byte") << 105 << 256 << 0 << 31;
    QTest::newRow("negative model") << 105 << -1 << 0 << 31;
}

void DrivePacketsTest::bootLoaderStandIn() {
    QFETCH(int, fileRev);
    QFETCH(int, fileModel);
    QFETCH(int, revision);
    QFETCH(int, model);
    const BootLoaderStandIn standIn = kestrel::bootLoaderStandIn(fileRev, fileModel);
    QCOMPARE(int(standIn.revision), revision);
    QCOMPARE(int(standIn.model), model);
}

QTEST_APPLESS_MAIN(DrivePacketsTest)
#include "test_drive_packets.moc"
