// The simulated drive's Ethernet side on simulated time: commands, the data
// transfer with acknowledgements and counts, losses by seed, the verdict.
#include <QtTest>

#include "EngineBench.h"

using namespace kestrel::drivesim;
using namespace kestrel::testing;

namespace {
const QByteArray kIdentify = bytes({0, 8, 'C', 2});
const QByteArray kEnterBootLoader = datagram(8, QByteArray("B") + '\0' + "5827");
const QByteArray kAck = datagram(17);
const QByteArray kCount = datagram(16);
}  // namespace

class DriveSimEthernetTest : public QObject {
    Q_OBJECT
  private slots:
    void answersTheSender_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("identity C") << kIdentify << bytes({0, 8, 5, 55});
        QTest::newRow("minor revision 0x8E y")
            << bytes({0, 8, 0x8E, 4, 'y'}) << bytes({0, 8, '0', '0', '4', '4'});
        QTest::newRow("unknown command") << bytes({0, 8, 'Z', 2}) << bytes({0, 8, 'Z', '?'});
        QTest::newRow("drive query: build and MAC")
            << bytes({0, 99, 0})
            << bytes({0, 99, 0, 0, 0x01, 0x2C, 0x02, 0x00, 0x00, 0x4B, 0x53, 0x37});
        QTest::newRow("one byte") << bytes({8}) << QByteArray();
        QTest::newRow("command without letter") << bytes({0, 8, 'C'}) << QByteArray();
        QTest::newRow("type 0x0108") << bytes({1, 8, 'C', 2}) << QByteArray();
        QTest::newRow("data outside the boot loader") << bytes({0, 17, 1, 2, 3}) << QByteArray();
    }

    void answersTheSender() {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        EngineBench bench;
        bench.host = {QStringLiteral("127.0.0.2"), 40123};
        bench.send(request, 1.5);
        QVERIFY(bench.serial.empty());
        if (!reply.isEmpty()) {
            QCOMPARE(bench.datagrams.at(0).time, bench.drive.options().replyLatency);
            QCOMPARE(bench.lastEndpoint.host, QStringLiteral("127.0.0.2"));
            QCOMPARE(bench.lastEndpoint.port, quint16(40123));
        }
        QCOMPARE(bench.takeDatagrams(), reply.isEmpty() ? QList<QByteArray>() : QList{reply});
    }

    void takesAnImageAndJudgesIt_data() {
        QTest::addColumn<DriveOptions>("options");
        // To 4 blocks, a count, a start datagram, the 5th block, a count; then
        // after the verdict to "C" and a count.
        QTest::addColumn<QList<QByteArray>>("replies");
        const QList<QByteArray> acks = {kAck, kAck, kAck, datagram(15, "."), kAck};
        auto count = [](int n) { return bytes({0, 16, 0, n}); };
        const QByteArray updated = bytes({0, 8, 6, 55});
        QTest::newRow("good image: restarts with the file's revision")
            << DriveOptions() << acks + QList{count(4), kAck, count(1), updated, count(0)};
        QTest::newRow("count queries ignored")
            << optionsWith([](auto& o) { o.ignoreCountQueries = true; })
            << acks + QList{kAck, updated};
        QTest::newRow("E at datagram 2: left without firmware")
            << optionsWith([](auto& o) { o.errorAtDatagram = 2; })
            << QList{kAck, kAck, datagram(15, "E"), count(2), count(0), count(0)};
        QTest::newRow("silent from datagram 3")
            << optionsWith([](auto& o) { o.stopAtDatagram = 3; }) << acks.mid(0, 3);
    }

    void takesAnImageAndJudgesIt() {
        QFETCH(DriveOptions, options);
        QFETCH(QList<QByteArray>, replies);
        const QByteArray image = testImage(1000);
        EngineBench bench(expecting(image, options));
        bench.send(kEnterBootLoader);
        bench.send(kIdentify);  // the boot loader takes no commands
        for (qsizetype i = 0; i < image.size(); i += 200) {
            if (i == 800) {
                bench.send(kCount);
                bench.send(datagram(18));
            }
            bench.send(datagram(17, image.mid(i, 200)));
        }
        bench.send(kCount);
        QVERIFY(bench.drive.verdicts().empty());
        bench.time.advanceBy(1.5);
        bench.send(kIdentify);
        bench.send(kCount);
        QCOMPARE(bench.takeDatagrams(), replies);
        QVERIFY(bench.serial.empty());  // a restart is not announced over Ethernet
        const auto verdict = bench.drive.lastVerdict();
        QVERIFY(verdict);
        QCOMPARE(verdict->link, Link::Ethernet);
        QCOMPARE(verdict->identical, options.errorAtDatagram < 0 && options.stopAtDatagram < 0);
        QCOMPARE(verdict->errorSent, options.errorAtDatagram >= 0);
        QCOMPARE(verdict->stopped, options.stopAtDatagram >= 0);
    }

    void lossesFollowTheSeed() {
        // What the drive did with 100 data datagrams, and what came back.
        auto run = [](quint32 seed) {
            EngineBench bench(optionsWith([seed](auto& o) {
                o.dropDataFraction = 0.5;
                o.dropAckFraction = 0.1;
                o.seed = seed;
            }));
            bench.send(kEnterBootLoader);
            QList<QByteArray> replies;
            for (int i = 0; i < 100; ++i) {
                bench.send(datagram(17, QByteArray::number(i)));
                replies += bench.takeDatagrams();
            }
            bench.time.advanceBy(1.5);
            return std::pair{bench.drive.transcriptText(), replies};
        };
        const auto [transcript, replies] = run(42);
        QVERIFY(run(42) == std::pair(transcript, replies));
        QVERIFY(run(43).first != transcript);
        const auto dropped = transcript.count(QStringLiteral("lost on the way in"));
        const auto ackLost = transcript.count(QStringLiteral("acknowledgement lost"));
        QVERIFY2(dropped >= 35 && dropped <= 65 && ackLost >= 1 && ackLost <= 12,
                 qPrintable(transcript));
        // Only a stored datagram is acknowledged or counted towards a "."; the
        // verdict counts both losses.
        QCOMPARE(replies.count(kAck), 100 - dropped - ackLost);
        QCOMPARE(replies.count(datagram(15, ".")), (100 - dropped) / 4);
        QVERIFY(transcript.contains(
            QStringLiteral("datagrams=%1 duplicates=0 dropped=%2 acks-dropped=%3")
                .arg(100 - dropped)
                .arg(dropped)
                .arg(ackLost)));
    }

    void storesAResentBlockAgain() {
        // No sequence numbers: only a block that repeats the one before and does
        // not fit where it lands counts as stored twice.
        auto duplicates = [](const QByteArray& image, const QList<int>& blocks) {
            EngineBench bench(expecting(image));
            bench.send(kEnterBootLoader);
            for (int block : blocks) {
                bench.send(datagram(17, image.mid(block * 200, 200)));
            }
            bench.time.advanceBy(1.5);
            const auto verdict = bench.drive.lastVerdict();
            return verdict && verdict->identical != (verdict->duplicates > 0) ? verdict->duplicates
                                                                              : -1;
        };
        QCOMPARE(duplicates(testImage(400), {0, 0, 1}), 1);  // resent after a lost acknowledgement
        QCOMPARE(duplicates(QByteArray(400, '\xFF'), {0, 1}), 0);
    }
};

QTEST_GUILESS_MAIN(DriveSimEthernetTest)
#include "test_drive_sim_ethernet.moc"
