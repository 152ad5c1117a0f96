// The simulated drive's Ethernet side on simulated time: commands, the data
// transfer with acknowledgements and counts, losses by seed, the verdict.
#include <QtTest>

#include "Bytes.h"
#include "EngineBench.h"

using namespace kestrel::drivesim;
using namespace kestrel::testing;

namespace {

const QByteArray kEnterBootLoader = datagram(8, QByteArray("B") + '\0' + "5827");
const QByteArray kAck = datagram(17);
const QByteArray kDot = datagram(15, ".");

QList<QByteArray> blocks(const QByteArray& image, int size = 200) {
    QList<QByteArray> out;
    for (qsizetype i = 0; i < image.size(); i += size) {
        out << image.mid(i, size);
    }
    return out;
}

// The host side of a transfer: send, wait for the acknowledgement, else ask
// for the drive's count and resend when the drive seems short of datagrams.
// `countResends` compares the count with every datagram sent, resends
// included (the updater's rule as first described); otherwise with the
// blocks the drive should hold.
struct RecoveringHost {
    EngineBench& bench;
    bool countResends = false;
    int sent = 0;
    int delivered = 0;
    int resends = 0;

    bool acked() {
        for (const auto& d : bench.takeDatagrams()) {
            if (d == kAck) {
                return true;
            }
        }
        return false;
    }
    int count() {
        bench.send(datagram(16));
        for (const auto& d : bench.takeDatagrams()) {
            if (d.startsWith(datagram(16)) && d.size() == 4) {
                return (static_cast<unsigned char>(d[2]) << 8) | static_cast<unsigned char>(d[3]);
            }
        }
        return -1;
    }
    void transfer(const QList<QByteArray>& data) {
        for (const auto& block : data) {
            for (;;) {
                bench.send(datagram(17, block));
                ++sent;
                if (acked() || count() == (countResends ? sent : delivered + 1)) {
                    break;
                }
                ++resends;
            }
            ++delivered;
        }
    }
};

}  // namespace

class DriveSimEthernetTest : public QObject {
    Q_OBJECT
  private slots:
    void answersCommands_data();
    void answersCommands();
    void repliesGoToTheSenderAfterTheLatency();
    void takesAnImageAndJudgesIt();
    void dataOutsideTheBootLoaderIsIgnored();
    void theStartDatagramResetsTheCount();
    void aBlockStoredTwiceIsAMismatch();
    void lossesFollowTheSeed();
    void aHostCountingDeliveredBlocksGetsTheImageThrough();
    void countingResendsStoresABlockTwiceAfterALoss();
    void ignoresCountQueriesWhenAsked();
    void sendsEAtTheChosenDatagram();
    void stopsAnsweringAtTheChosenDatagram();
};

void DriveSimEthernetTest::answersCommands_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("identity C") << bytes({0, 8, 'C', 2}) << bytes({0, 8, 5, 55});
    QTest::newRow("minor revision 0x8E y")
        << bytes({0, 8, 0x8E, 4, 'y'}) << bytes({0, 8, '0', '0', '4', '4'});
    QTest::newRow("unknown command") << bytes({0, 8, 'Z', 2}) << bytes({0, 8, 'Z', '?'});
    QTest::newRow("drive query") << bytes({0, 99, 0})
                                 << bytes({0, 99, 0, 0, 0x01, 0x2C, 0x02, 0x00, 0x00, 0x4B, 0x53,
                                           0x37});
    QTest::newRow("count query") << bytes({0, 16}) << bytes({0, 16, 0, 0});
    QTest::newRow("one byte") << bytes({8}) << QByteArray();
    QTest::newRow("command without letter") << bytes({0, 8, 'C'}) << QByteArray();
    QTest::newRow("type 7") << bytes({0, 7, 1}) << QByteArray();
    QTest::newRow("type 0x8000") << bytes({0x80, 0, 'C', 2}) << QByteArray();
    QTest::newRow("data outside the boot loader") << bytes({0, 17, 1, 2, 3}) << QByteArray();
}

void DriveSimEthernetTest::answersCommands() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    EngineBench bench;
    bench.send(request);
    const auto replies = bench.takeDatagrams();
    QCOMPARE(replies.value(0), reply);
    QVERIFY(replies.size() <= 1);
    QVERIFY(bench.serial.empty());
}

void DriveSimEthernetTest::repliesGoToTheSenderAfterTheLatency() {
    EngineBench bench;
    bench.host = {QStringLiteral("127.0.0.1"), 40123};
    bench.send(bytes({0, 8, 'C', 2}), 0.0);
    QVERIFY(bench.datagrams.empty());
    bench.time.advanceBy(1.0);
    QCOMPARE(bench.datagrams.size(), size_t(1));
    QCOMPARE(bench.datagrams.front().time, bench.drive.options().replyLatency);
    QCOMPARE(bench.lastEndpoint.host, QStringLiteral("127.0.0.1"));
    QCOMPARE(bench.lastEndpoint.port, quint16(40123));
}

void DriveSimEthernetTest::takesAnImageAndJudgesIt() {
    const QByteArray image = testImage(1950);
    DriveOptions options;
    options.firmwareFile = firmwareFile(image, "1.07");
    EngineBench bench(options);
    bench.send(datagram(18));
    bench.send(kEnterBootLoader);
    QVERIFY(bench.takeDatagrams().isEmpty());  // no reply to the entry
    QCOMPARE(bench.drive.mode(), SimulatedDrive::Mode::BootLoader);
    bench.send(bytes({0, 8, 'C', 2}));
    QVERIFY(bench.takeDatagrams().isEmpty());  // the boot loader takes no commands

    const auto data = blocks(image);
    QCOMPARE(data.size(), 10);
    for (int i = 0; i < data.size(); ++i) {
        bench.send(datagram(17, data[i]));
        QList<QByteArray> expected;
        if ((i + 1) % 4 == 0) {
            expected << kDot;  // the "." comes before the acknowledgement
        }
        expected << kAck;
        QCOMPARE(bench.takeDatagrams(), expected);
    }
    bench.send(datagram(16));
    QCOMPARE(bench.takeDatagrams(), QList<QByteArray>{bytes({0, 16, 0, 10})});
    QVERIFY(bench.drive.verdicts().empty());
    bench.time.advanceBy(1.0);
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY2(verdict && verdict->identical, qPrintable(bench.drive.transcriptText()));
    QCOMPARE(verdict->link, Link::Ethernet);
    QCOMPARE(verdict->datagramsReceived, 10);
    QCOMPARE(verdict->duplicates, 0);
    QCOMPARE(verdict->bytesReceived, 1950);
    // Restarted with the file's revision; nothing is announced, the next
    // identity command tells.
    QVERIFY(bench.serial.empty());
    bench.send(bytes({0, 8, 'C', 2}));
    QCOMPARE(bench.takeDatagrams(), QList<QByteArray>{bytes({0, 8, 7, 55})});
}

void DriveSimEthernetTest::dataOutsideTheBootLoaderIsIgnored() {
    DriveOptions options;
    options.firmwareFile = firmwareFile(testImage(200));
    EngineBench bench(options);
    bench.send(datagram(18));
    bench.send(datagram(17, testImage(200)), 2.0);
    QVERIFY(bench.takeDatagrams().isEmpty());
    QVERIFY(bench.drive.verdicts().empty());
    QVERIFY(bench.drive.transcriptText().contains(QStringLiteral("no boot loader is taking it")));
}

void DriveSimEthernetTest::theStartDatagramResetsTheCount() {
    EngineBench bench;
    bench.send(kEnterBootLoader);
    bench.send(datagram(17, "abc"));
    bench.send(datagram(17, "def"));
    bench.send(datagram(16));
    QCOMPARE(bench.takeDatagrams().last(), bytes({0, 16, 0, 2}));
    bench.send(datagram(18));
    bench.send(datagram(16));
    QCOMPARE(bench.takeDatagrams().last(), bytes({0, 16, 0, 0}));
}

void DriveSimEthernetTest::aBlockStoredTwiceIsAMismatch() {
    const QByteArray image = testImage(1000);
    DriveOptions options;
    options.firmwareFile = firmwareFile(image);
    EngineBench bench(options);
    bench.send(kEnterBootLoader);
    const auto data = blocks(image);
    for (int i = 0; i < data.size(); ++i) {
        bench.send(datagram(17, data[i]));
        if (i == 2) {
            bench.send(datagram(17, data[i]));  // a resend the drive did not need
        }
    }
    bench.time.advanceBy(1.5);
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY(verdict);
    QVERIFY(!verdict->identical);
    QCOMPARE(verdict->duplicates, 1);
    QCOMPARE(verdict->datagramsReceived, 6);
    QCOMPARE(verdict->firstDifference, 600);
    QCOMPARE(verdict->bytesReceived, 1200);
    // The drive has no firmware now and does not answer the identity command.
    bench.takeDatagrams();
    bench.send(bytes({0, 8, 'C', 2}));
    QVERIFY(bench.takeDatagrams().isEmpty());
    QVERIFY(bench.drive.isBlank());
}

void DriveSimEthernetTest::lossesFollowTheSeed() {
    // Which of 100 datagrams lose their data or their acknowledgement.
    auto pattern = [](quint32 seed) {
        DriveOptions options;
        options.dropDataFraction = 0.3;
        options.dropAckFraction = 0.2;
        options.dotEveryDatagrams = 0;
        options.seed = seed;
        EngineBench bench(options);
        bench.send(kEnterBootLoader);
        QString marks;
        int counted = 0;
        for (int i = 0; i < 100; ++i) {
            bench.send(datagram(17, QByteArray::number(i)));
            const bool acked = !bench.takeDatagrams().isEmpty();
            bench.send(datagram(16));
            const QByteArray c = bench.takeDatagrams().value(0);
            const int now =
                (static_cast<unsigned char>(c[2]) << 8) | static_cast<unsigned char>(c[3]);
            const bool stored = now > counted;
            counted = now;
            marks += acked ? QLatin1Char('a') : stored ? QLatin1Char('s') : QLatin1Char('-');
            // An acknowledgement never comes for a datagram that was not stored.
            if (acked && !stored) {
                return QString();
            }
        }
        bench.time.advanceBy(1.5);
        const auto v = bench.drive.lastVerdict();
        if (!v || v->datagramsDropped != marks.count(QLatin1Char('-')) ||
            v->acksDropped != marks.count(QLatin1Char('s'))) {
            return QString();
        }
        return marks;
    };
    const QString first = pattern(42);
    QVERIFY(!first.isEmpty());
    QCOMPARE(pattern(42), first);
    QVERIFY(pattern(43) != first);
    const auto dropped = first.count(QLatin1Char('-'));
    const auto ackLost = first.count(QLatin1Char('s'));
    QVERIFY2(dropped >= 15 && dropped <= 45, qPrintable(first));
    QVERIFY2(ackLost >= 5 && ackLost <= 35, qPrintable(first));
}

void DriveSimEthernetTest::aHostCountingDeliveredBlocksGetsTheImageThrough() {
    const QByteArray image = testImage(6000);
    DriveOptions options;
    options.firmwareFile = firmwareFile(image);
    options.dropDataFraction = 0.2;
    options.dropAckFraction = 0.2;
    options.seed = 9;
    EngineBench bench(options);
    bench.send(datagram(18));
    bench.send(kEnterBootLoader);
    RecoveringHost host{bench};
    host.transfer(blocks(image));
    bench.time.advanceBy(1.5);
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY2(verdict && verdict->identical, qPrintable(bench.drive.transcriptText()));
    QVERIFY(verdict->datagramsDropped > 0);
    QVERIFY(verdict->acksDropped > 0);
    QCOMPARE(host.resends, verdict->datagramsDropped);
    QCOMPARE(verdict->duplicates, 0);
}

void DriveSimEthernetTest::countingResendsStoresABlockTwiceAfterALoss() {
    // Once one datagram was lost, the count of datagrams sent (resends
    // included) never equals the drive's count again, so the next lost
    // acknowledgement is taken for a lost datagram and the block is resent
    // to a drive that already has it. The drive must catch that.
    const QByteArray image = testImage(6000);
    DriveOptions options;
    options.firmwareFile = firmwareFile(image);
    options.dropDataFraction = 0.2;
    options.dropAckFraction = 0.2;
    options.seed = 9;
    EngineBench bench(options);
    bench.send(datagram(18));
    bench.send(kEnterBootLoader);
    RecoveringHost host{bench, true};
    host.transfer(blocks(image));
    bench.time.advanceBy(1.5);
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY(verdict);
    QVERIFY(!verdict->identical);
    QVERIFY(verdict->duplicates > 0);
    QVERIFY(verdict->bytesReceived > image.size());
}

void DriveSimEthernetTest::ignoresCountQueriesWhenAsked() {
    DriveOptions options;
    options.ignoreCountQueries = true;
    EngineBench bench(options);
    bench.send(kEnterBootLoader);
    bench.send(datagram(17, "abc"));
    QCOMPARE(bench.takeDatagrams(), QList<QByteArray>{kAck});
    bench.send(datagram(16));
    QVERIFY(bench.takeDatagrams().isEmpty());
}

void DriveSimEthernetTest::sendsEAtTheChosenDatagram() {
    const QByteArray image = testImage(1000);
    DriveOptions options;
    options.firmwareFile = firmwareFile(image);
    options.errorAtDatagram = 2;
    EngineBench bench(options);
    bench.send(kEnterBootLoader);
    const auto data = blocks(image);
    bench.send(datagram(17, data[0]));
    bench.send(datagram(17, data[1]));
    QCOMPARE(bench.takeDatagrams(), (QList<QByteArray>{kAck, kAck}));
    bench.send(datagram(17, data[2]));
    QCOMPARE(bench.takeDatagrams(), QList<QByteArray>{datagram(15, "E")});
    bench.time.advanceBy(1.5);
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY(verdict && verdict->errorSent && !verdict->identical);
    QCOMPARE(verdict->datagramsReceived, 2);
}

void DriveSimEthernetTest::stopsAnsweringAtTheChosenDatagram() {
    const QByteArray image = testImage(1000);
    DriveOptions options;
    options.firmwareFile = firmwareFile(image);
    options.stopAtDatagram = 3;
    EngineBench bench(options);
    bench.send(kEnterBootLoader);
    for (const auto& block : blocks(image)) {
        bench.send(datagram(17, block));
    }
    QCOMPARE(bench.takeDatagrams().count(kAck), 3);
    bench.time.advanceBy(1.5);
    bench.send(bytes({0, 8, 'C', 2}));
    bench.send(bytes({0, 99, 0}));
    bench.send(datagram(16));
    QVERIFY(bench.takeDatagrams().isEmpty());
    const auto verdict = bench.drive.lastVerdict();
    QVERIFY(verdict && verdict->stopped && !verdict->identical);
    QCOMPARE(verdict->datagramsReceived, 3);
    QCOMPARE(bench.drive.mode(), SimulatedDrive::Mode::Hung);
}

QTEST_GUILESS_MAIN(DriveSimEthernetTest)
#include "test_drive_sim_ethernet.moc"
