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

// The host side of a transfer: send each block of 200 bytes until it is acknowledged; when
// no acknowledgement comes, ask for the drive's count and resend if the drive
// seems short. `countResends` compares the count with every datagram sent,
// resends included (the updater's rule as first described); otherwise with
// the blocks delivered.
void transfer(EngineBench& bench, const QByteArray& image, bool countResends) {
    int sent = 0;
    for (int delivered = 0; delivered * 200 < image.size();) {
        bench.send(datagram(17, image.mid(delivered * 200, 200)));
        ++sent;
        if (!bench.takeDatagrams().contains(kAck)) {
            bench.send(datagram(16));
            const int expected = countResends ? sent : delivered + 1;
            if (bench.takeDatagrams() !=
                QList{datagram(16, bytes({expected >> 8, expected & 0xFF}))}) {
                continue;  // resend
            }
        }
        ++delivered;
    }
}

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
        QCOMPARE(bench.datagrams.size(), size_t(reply.isEmpty() ? 0 : 1));
        QVERIFY(bench.serial.empty());
        if (!reply.isEmpty()) {
            QCOMPARE(bench.datagrams.at(0).data, reply);
            QCOMPARE(bench.datagrams.at(0).time, bench.drive.options().replyLatency);
            QCOMPARE(bench.lastEndpoint.host, QStringLiteral("127.0.0.2"));
            QCOMPARE(bench.lastEndpoint.port, quint16(40123));
        }
    }

    void takesAnImageAndJudgesIt_data() {
        QTest::addColumn<DriveOptions>("options");
        // To 5 blocks, a count query, a start datagram, a count query and "C" after the verdict.
        QTest::addColumn<QList<QByteArray>>("replies");
        const QList<QByteArray> acks = {kAck, kAck, kAck, datagram(15, "."), kAck, kAck};
        const QByteArray newRevision = bytes({0, 8, 6, 55});
        QTest::newRow("good image: restarts with the file's revision")
            << DriveOptions()
            << acks + QList{bytes({0, 16, 0, 5}), bytes({0, 16, 0, 0}), newRevision};
        QTest::newRow("count queries ignored")
            << optionsWith([](auto& o) { o.ignoreCountQueries = true; })
            << acks + QList{newRevision};
        QTest::newRow("E at datagram 2: left without firmware")
            << optionsWith([](auto& o) { o.errorAtDatagram = 2; })
            << QList{kAck, kAck, datagram(15, "E"), bytes({0, 16, 0, 2}), bytes({0, 16, 0, 0})};
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
            bench.send(datagram(17, image.mid(i, 200)));
        }
        bench.send(datagram(16));
        bench.send(datagram(18));
        bench.send(datagram(16));
        QVERIFY(bench.drive.verdicts().empty());
        bench.time.advanceBy(1.5);
        bench.send(kIdentify);
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
        // What the drive did with 100 data datagrams, and the acknowledgements that came.
        auto run = [](quint32 seed) {
            EngineBench bench(optionsWith([seed](auto& o) {
                o.dropDataFraction = 0.5;
                o.dropAckFraction = 0.1;
                o.seed = seed;
            }));
            bench.send(kEnterBootLoader);
            qsizetype acks = 0;
            for (int i = 0; i < 100; ++i) {
                bench.send(datagram(17, QByteArray::number(i)));
                acks += bench.takeDatagrams().count(kAck);
            }
            bench.time.advanceBy(1.5);
            return std::pair{bench.drive.transcriptText(), acks};
        };
        const auto [transcript, acks] = run(42);
        QVERIFY(run(42) == std::pair(transcript, acks));
        QVERIFY(run(43).first != transcript);
        const auto dropped = transcript.count(QStringLiteral("lost on the way in"));
        const auto ackLost = transcript.count(QStringLiteral("acknowledgement lost"));
        QVERIFY2(dropped >= 35 && dropped <= 65 && ackLost >= 1 && ackLost <= 12,
                 qPrintable(transcript));
        // Only a datagram that was stored is acknowledged, and the verdict counts both losses.
        QCOMPARE(acks, 100 - dropped - ackLost);
        QVERIFY(transcript.contains(
            QStringLiteral("datagrams=%1 duplicates=0 dropped=%2 acks-dropped=%3")
                .arg(100 - dropped)
                .arg(dropped)
                .arg(ackLost)));
    }

    void countingResendsStoresABlockTwiceAfterALoss_data() {
        QTest::addColumn<bool>("countResends");
        QTest::newRow("sound: counting delivered blocks") << false;
        // Once one datagram was lost, the count of datagrams sent never equals the
        // drive's count again, so the next lost acknowledgement is taken for a lost
        // datagram and the block is resent to a drive that already has it.
        QTest::newRow("counting resends") << true;
    }

    void countingResendsStoresABlockTwiceAfterALoss() {
        QFETCH(bool, countResends);
        const QByteArray image = testImage(6000);
        EngineBench bench(expecting(image, optionsWith([](auto& o) {
                                        o.dropDataFraction = 0.2;
                                        o.dropAckFraction = 0.2;
                                        o.seed = 9;
                                    })));
        bench.send(kEnterBootLoader);
        transfer(bench, image, countResends);
        bench.time.advanceBy(1.5);
        const auto verdict = bench.drive.lastVerdict();
        QVERIFY(verdict);
        QVERIFY(verdict->datagramsDropped > 0 && verdict->acksDropped > 0);
        QCOMPARE(verdict->identical, !countResends);
        QCOMPARE(verdict->duplicates > 0, countResends);
    }
};

QTEST_GUILESS_MAIN(DriveSimEthernetTest)
#include "test_drive_sim_ethernet.moc"
