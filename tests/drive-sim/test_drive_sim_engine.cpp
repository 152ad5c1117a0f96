// The simulated drive's engine on simulated time (serial: packets, commands,
// the boot loader, line and XON/XOFF pacing, the verdict; Ethernet: commands,
// acknowledgements, counts, seeded losses), its in-process twin behind the
// test doubles, and its scheduler on the real clock.
#include <QtTest>

#include "EngineBench.h"
#include "QtScheduler.h"
#include "SimulatedDriveLink.h"

using namespace kestrel;
using namespace kestrel::drivesim;
using namespace kestrel::testing;

namespace {
const QByteArray kIdentify = bytes({0, 8, 'C', 2});
const QByteArray kEnterBootLoader = datagram(8, QByteArray("B") + '\0' + "5827");
const QByteArray kAck = datagram(17);
const QByteArray kCount = datagram(16);
const QByteArray kBootLoaderBlank = bytes({0xF0, 0xFF, 55, 5});
const QByteArray kUpdated = bytes({0xFF, 6, 55});
}  // namespace

class DriveSimEngineTest : public QObject {
    Q_OBJECT
  private slots:
    void answersOnTheSerialLine_data() {
        QTest::addColumn<DriveOptions>("options");
        QTest::addColumn<QByteArray>("typed");  // none: a power-up
        QTest::addColumn<QByteArray>("heard");
        QTest::addColumn<int>("bitRate");  // the drive's line afterwards
        auto row = [](const char* name, auto change, QByteArray typed, QByteArray heard, int rate) {
            QTest::newRow(name) << optionsWith(change) << typed << heard << rate;
        };
        auto same = [](auto&) {};
        row("power-up", same, {}, bytes({0xFF, 5, 55}), 9600);
        row(
            "blank: boot loader", [](auto& o) { o.blank = true; }, {}, kBootLoaderBlank, 115200);
        row(
            "other family", [](auto& o) { o.otherFamily = true; }, {}, bytes({0xEF, 0, 0}), 9600);
        row(
            "LF and garbage in the packet",
            [](auto& o) {
                o.packetInsert = bytes({0x0A, 0x41});
            },
            {}, bytes({0xFF, 0x0A, 0x41, 5, 55}), 9600);
        row(
            "B5827, high-speed boot loader 53", [](auto& o) { o.bootLoaderVersion = 53; },
            "B5827\r", bytes({0xF0, 5, 55, 53}), 115200);
        row(
            "B5827, slow boot loader 2", [](auto& o) { o.bootLoaderVersion = 2; }, "B5827\r",
            bytes({0xF0, 5, 55, 2}), 9600);
        row("silent commands; unknown: letter ?", same, "QT\r00\rS\rq\rHM\rPR5\rXZ\r", "X?\r",
            9600);
        row("SA, SV; LF ignored", same, "\nSA\r\nSV\r\n", "OK\r105D\r", 9600);
        row(
            "no reply to SA and SV", [](auto& o) { o.replyToSA = o.replyToSV = false; }, "SA\rSV\r",
            {}, 9600);
    }

    void answersOnTheSerialLine() {
        QFETCH(DriveOptions, options);
        QFETCH(QByteArray, typed);
        QFETCH(QByteArray, heard);
        EngineBench bench(options);
        typed.isEmpty() ? bench.drive.powerUp() : bench.type(typed, 9600, 0.0);
        // A packet leaves at 9600 bit/s, a boot loader's once it has started.
        const bool packet = typed.isEmpty() || typed == "B5827\r";
        const double start = bench.time.now() + (packet && !typed.isEmpty() ? 0.05 : 0);
        bench.time.advanceBy(0.5);
        if (packet) {
            QCOMPARE(bench.serial.back().time, start + double(heard.size()) * 10.0 / 9600);
        }
        QCOMPARE(bench.takeSerial(), heard);
        QTEST(bench.drive.lineBitRate(), "bitRate");
    }

    void garblesBytesAtTheWrongBitRate() {
        EngineBench bench;
        bench.type("SV\r", 115200);  // a drive listening at 9600 hears nothing of it
        bench.type("SV\r");          // and nothing is left to spoil the next command
        QCOMPARE(bench.takeSerial(), QByteArray("105D\r"));
        bench.drive.hostBitRateChanged(115200);
        bench.drive.powerUp();  // its packet at 9600 reaches a host at 115200 as zeros
        bench.time.advanceBy(0.1);
        QCOMPARE(bench.takeSerial(), QByteArray(3, '\0'));
    }

    void pacesTheHostWithXoffAndXon_data() {
        QTest::addColumn<int>("lineRate");
        QTest::newRow("host types at 115200") << 0;
        // A pty hands over all at once; the emulated line spaces the bytes.
        QTest::newRow("host writes at once, line at 115200") << 115200;
    }

    void pacesTheHostWithXoffAndXon() {
        QFETCH(int, lineRate);
        EngineBench bench(optionsWith([lineRate](auto& o) {
            o.rxBufferSize = 1000;
            o.xoffLevel = 500;
            o.xonLevel = 100;
            o.drainRate = 1000;
            o.dotEveryBytes = 0;
            o.lineRate = lineRate;
        }));
        bench.enterBootLoader();
        // 600 bytes at 11520 a second against a drain of 1000: XOFF once byte 548
        // is in; 51 more come after it has reached the host (byte 549 was on the
        // line already). XON once the fill is down to 100.
        const double perByte = 10.0 / 115200;
        const double firstByte = bench.time.now() + perByte;
        lineRate > 0 ? bench.drive.hostSerialBytes(testImage(600), 115200)
                     : bench.type(testImage(600), 115200, 0.0);
        const double lastByte = firstByte + 599 * perByte;
        const double xonAt = lastByte + (600 - 599 * perByte * 1000 - 100) / 1000 + perByte;
        bench.time.advanceTo(xonAt - 0.0005);
        QCOMPARE(bench.serial.size(), size_t(1));
        QCOMPARE(bench.serial.at(0).time, lastByte - (600 - 548) * perByte + perByte);
        bench.time.advanceTo(xonAt + 1e-9);
        QCOMPARE(bench.serial.at(1).time, xonAt);
        QCOMPARE(bench.takeSerial(), "\x13\x11");
        bench.time.advanceBy(1.5);
        const auto v = bench.drive.lastVerdict();
        QVERIFY(v && v->overruns == 0 && v->xoffsSent == 1);
        QCOMPARE(v->mostBytesAfterXoff, 51);
        QCOMPARE(v->seconds, lastByte - firstByte);
    }

    void judgesTheSerialImageAfterASecondOfQuiet_data() {
        QTest::addColumn<DriveOptions>("options");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("verdict");   // fields it must show
        QTest::addColumn<QByteArray>("heard");  // until the restart's packet
        const QByteArray image = testImage(600);
        QByteArray changed = image;
        changed[599] = static_cast<char>(changed[599] ^ 0x80);
        auto row = [&](const char* name, auto change, QByteArray sent, const char* fields,
                       QByteArray heard) {
            QTest::newRow(name) << expecting(image, optionsWith(change)) << sent << QString(fields)
                                << heard;
        };
        auto same = [](auto&) {};
        // No drain: the buffer holds exactly its size, and then overruns.
        auto buffer = [](int size) {
            return [size](auto& o) {
                o.rxBufferSize = o.xoffLevel = size;
                o.drainRate = 1e-9;
            };
        };
        row("identical", same, image, "identical=yes first-difference=-1", ".." + kUpdated);
        row("last byte missing", same, image.left(599),
            "identical=no bytes=599 first-difference=599", ".." + kBootLoaderBlank);
        row("one byte extra", same, image + 'x', "bytes=601 first-difference=600",
            ".." + kBootLoaderBlank);
        row("last byte changed", same, changed, "identical=no first-difference=599",
            ".." + kBootLoaderBlank);
        row(
            "E at byte 300", [](auto& o) { o.errorAtByte = 300; }, image,
            "bytes=300 error-sent=yes stopped=no", ".E" + kBootLoaderBlank);
        row(
            "silent from byte 300", [](auto& o) { o.stopAtByte = 300; }, image,
            "bytes=300 error-sent=no stopped=yes", ".");
        row("buffer just big enough", buffer(600), image,
            "identical=yes overruns=0 line-errors=0 after-xoff=0", "..\x13" + kUpdated);
        row("one byte beyond the buffer", buffer(599), image,
            "bytes=599 xoffs=1 overruns=1 line-errors=0 after-xoff=0", "..\x13" + kBootLoaderBlank);
        QTest::newRow("nothing to compare with")
            << DriveOptions() << image << "identical=unknown bytes=600 expected=0"
            << ".." + bytes({0xFF, 5, 55});
    }

    void judgesTheSerialImageAfterASecondOfQuiet() {
        QFETCH(DriveOptions, options);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, heard);
        EngineBench bench(options);
        bench.enterBootLoader();
        bench.type(sent.left(300), 115200, 0.0);
        bench.time.advanceBy(0.9);  // a pause is not the end
        bench.type(sent.mid(300), 115200, 0.0);
        const double lastByte = bench.time.now();
        bench.time.advanceTo(lastByte + 0.999);
        QVERIFY(bench.drive.verdicts().empty());
        bench.time.advanceTo(lastByte + 1.5);
        const auto v = bench.drive.lastVerdict();
        QVERIFY(v);
        QCOMPARE(v->time, lastByte + 1.0);
        QFETCH(QString, verdict);
        for (const QString& field : verdict.split(' ')) {
            QVERIFY2(v->describe().split(' ').contains(field), qPrintable(v->describe()));
        }
        QCOMPARE(bench.takeSerial(), heard);
        bench.drive.powerUp();  // a power cycle brings even a silent drive back
        bench.time.advanceBy(0.1);
        QCOMPARE(bench.takeSerial().size(), heard.endsWith(kBootLoaderBlank) ? 4 : 3);
    }

    void answersTheSender_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<double>("latency");
        const QByteArray identity = bytes({0, 8, 5, 55});
        QTest::newRow("identity C") << kIdentify << identity << 200e-6;
        QTest::newRow("identity C, latency 0: at once") << kIdentify << identity << 0.0;
        QTest::newRow("minor revision 0x8E y")
            << bytes({0, 8, 0x8E, 4, 'y'}) << bytes({0, 8, '0', '0', '4', '4'}) << 1e-3;
        QTest::newRow("unknown command") << bytes({0, 8, 'Z', 2}) << bytes({0, 8, 'Z', '?'}) << 0.0;
        QTest::newRow("drive query: build and MAC")
            << bytes({0, 99, 0})
            << bytes({0, 99, 0, 0, 0x01, 0x2C, 0x02, 0x00, 0x00, 0x4B, 0x53, 0x37}) << 0.0;
        QTest::newRow("one byte") << bytes({8}) << QByteArray() << 0.0;
        QTest::newRow("command without letter") << bytes({0, 8, 'C'}) << QByteArray() << 0.0;
        QTest::newRow("type 0x0108") << bytes({1, 8, 'C', 2}) << QByteArray() << 0.0;
        QTest::newRow("data outside the boot loader") << bytes({0, 17, 1}) << QByteArray() << 0.0;
    }

    void answersTheSender() {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        QFETCH(double, latency);
        EngineBench bench(optionsWith([latency](auto& o) { o.replyLatency = latency; }));
        bench.host = {QStringLiteral("127.0.0.2"), 40123};
        bench.send(request, 1.5);
        QVERIFY(bench.serial.empty());
        if (!reply.isEmpty()) {
            QCOMPARE(bench.datagrams.at(0).time + 1.0, latency + 1.0);
            QCOMPARE(bench.lastEndpoint.host, QStringLiteral("127.0.0.2"));
            QCOMPARE(bench.lastEndpoint.port, quint16(40123));
        }
        QCOMPARE(bench.takeDatagrams(), reply.isEmpty() ? QList<QByteArray>() : QList{reply});
    }

    void takesAnImageOverEthernetAndJudgesIt_data() {
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

    void takesAnImageOverEthernetAndJudgesIt() {
        QFETCH(DriveOptions, options);
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
        QTEST(bench.takeDatagrams(), "replies");
        QVERIFY(bench.serial.empty());  // a restart is not announced over Ethernet
        const auto v = bench.drive.lastVerdict();
        QVERIFY(v && v->link == drivesim::Link::Ethernet);
        QCOMPARE(v->identical, options.errorAtDatagram < 0 && options.stopAtDatagram < 0);
        QCOMPARE(v->errorSent, options.errorAtDatagram >= 0);
        QCOMPARE(v->stopped, options.stopAtDatagram >= 0);
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
            const auto v = bench.drive.lastVerdict();
            return v && v->identical != (v->duplicates > 0) ? v->duplicates : -1;
        };
        QCOMPARE(duplicates(testImage(400), {0, 0, 1}), 1);  // resent after a lost acknowledgement
        QCOMPARE(duplicates(QByteArray(400, '\xFF'), {0, 1}), 0);
    }

    void twinKeepsTheRateSerialBytesWereWrittenAt_data() {
        QTest::addColumn<int>("hostRate");
        QTest::addColumn<QByteArray>("restart");
        QTest::newRow("115200: identical") << 115200 << kUpdated;
        QTest::newRow("left at 9600: garbled") << 9600 << kBootLoaderBlank;
    }

    void twinKeepsTheRateSerialBytesWereWrittenAt() {
        QFETCH(int, hostRate);
        const QByteArray image = testImage(100);
        TestPlatform tp;
        tp.serial.setOpenResult(1, CommError::None);
        tp.serial.open(1, QStringLiteral("9600,N,8,1"), Handshaking::None);
        SimulatedDriveLink link(tp, expecting(image));
        QByteArray heard;
        auto listen = [&](double seconds) {
            for (const double until = tp.time.now() + seconds; tp.time.now() < until;) {
                heard += tp.serial.read(0);
            }
        };
        link.powerUp();
        tp.serial.write("B5827\r");
        listen(0.5);
        QCOMPARE(heard, bytes({0xFF, 5, 55, 0xF0, 5, 55, 5}));
        QVERIFY(tp.serial.setSettings(QStringLiteral("%1,N,8,1").arg(hostRate)));
        listen(0.2);
        tp.serial.write(image);
        // Back to 9600 with the image still queued, as the updater does.
        QVERIFY(tp.serial.setSettings(QStringLiteral("9600,N,8,1")));
        listen(2.0);
        const auto v = link.lastVerdict();
        QVERIFY2(v, qPrintable(link.transcriptText()));
        QCOMPARE(v->lineErrors, hostRate == 115200 ? 0 : 100);
        QFETCH(QByteArray, restart);
        QVERIFY(heard.endsWith(restart));
    }

    void twinTakesDatagramsOnlyForTheDriveAddress() {
        TestPlatform tp;
        SimulatedDriveLink link(tp);
        for (const auto& [host, port] : {std::pair{QStringLiteral("10.10.10.11"), quint16(7775)},
                                         {link.address(), 7776},
                                         {link.address(), 7775}}) {
            tp.udp.setRemoteHost(host);
            tp.udp.setRemotePort(port);
            QVERIFY(tp.udp.send(kIdentify, nullptr));
        }
        tp.time.advanceBy(0.01);
        QCOMPARE(link.misaddressedDatagrams(), 2);
        const ReceivedDatagram reply = tp.udp.readDatagram();
        QCOMPARE(reply.sender, QStringLiteral("10.10.10.10"));
        QCOMPARE(reply.data, bytes({0, 8, 5, 55}));
        QVERIFY(!tp.udp.hasPendingDatagram());
    }

    void realClockRunsActionsInOrderNeverEarly() {
        // Delay 0 and a time already past run at once; the rest by time, then
        // by the order they were given. How late they run is the bench's business.
        QtScheduler scheduler;
        std::vector<int> order;
        double earliest = 1.0;
        const double t0 = scheduler.now();
        for (const auto& [id, delay] :
             {std::pair{1, 300e-6}, {2, 0.0}, {3, 50e-6}, {4, 0.0}, {5, -1.0}}) {
            scheduler.at(t0 + delay, [&, id = id, due = t0 + delay] {
                order.push_back(id);
                earliest = std::min(earliest, scheduler.now() - due);
            });
        }
        QTRY_COMPARE(order.size(), size_t(5));
        QCOMPARE(order, (std::vector<int>{5, 2, 4, 3, 1}));
        QVERIFY(earliest >= 0.0);
    }
};

QTEST_GUILESS_MAIN(DriveSimEngineTest)
#include "test_drive_sim_engine.moc"
