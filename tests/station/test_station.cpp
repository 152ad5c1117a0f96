// kestrel-flash as a station: several kestrel-drive-sims at once on ptys and
// loopback addresses of their own, one failing among them; the record file
// whole after a SIGKILL; the rules behind the record and the exit code.
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <csignal>
#include <memory>

#include "Processes.h"
#include "station/Station.h"
#include "station/UnitRecord.h"

using namespace kestrel::testing;
using kestrel::flash::ExitCode;

namespace {

// A drive of the station: "S" on a pty, or "E2" on 127.0.0.2; its sim options.
struct DriveSpec {
    const char* link;
    const char* options;
};

struct Station {
    std::vector<std::unique_ptr<SimDrive>> sims;
    QStringList names;  // as the station names them
    QStringList arguments;

    bool start(const std::vector<DriveSpec>& drives, const QString& firmware) {
        for (const DriveSpec& d : drives) {
            auto sim = std::make_unique<SimDrive>();
            const bool serial = QString(d.link) == "S";
            QStringList args{"--firmware",  firmware, "--quiet-time", "2",
                             "--rx-buffer", "16384",  "--drain-rate", "40000"};
            args << (serial ? QStringList{"--port", "0"}
                            : QStringList{"--address", QString("127.0.0.%1").arg(d.link[1])});
            if (!sim->start(args + QString(d.options).split(' ', Qt::SkipEmptyParts))) {
                return false;
            }
            names << (serial ? sim->ptyPath : QString("127.0.0.%1").arg(d.link[1]));
            arguments << (serial ? "--port" : "--ip") << names.last();
            sims.push_back(std::move(sim));
        }
        return true;
    }
    // Powers up each serial drive once the station waits for it.
    bool powerUp(FlashProcess& flash) {
        for (std::size_t i = 0; i < sims.size(); ++i) {
            if (names[int(i)].startsWith("/dev/")) {
                if (!flash.waitForOutput(names[int(i)].toUtf8() + ") to power up")) {
                    return false;
                }
                sims[i]->powerUp();
            }
        }
        return true;
    }
};

// The host's side of the wire when `arguments` flash one drive alone.
QStringList aloneOnTheWire(const DriveSpec& drive, const QString& firmware) {
    Station one;
    FlashProcess flash;
    if (!one.start({drive}, firmware)) {
        return {"no sim"};
    }
    flash.start(one.arguments + QStringList{firmware});
    one.powerUp(flash);
    flash.finish();
    one.sims[0]->quit();
    return one.sims[0]->hostLines;
}

QList<QJsonObject> events(const QByteArray& out, const QString& kind) {
    QList<QJsonObject> found;
    for (const QByteArray& line : out.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.value("event") == kind) {
            found << o;
        }
    }
    return found;
}

}  // namespace

class StationTest : public QObject {
    Q_OBJECT
  private slots:
    void exitCodeAndRecordLine() {
        using E = ExitCode;
        const struct {
            QList<E> units;
            int drives;
            bool stopped;
            E expected;
        } rows[] = {
            {{E::Done, E::Done}, 2, false, E::Done},
            {{E::Done, E::DriveError}, 2, false, E::SomeDrivesFailed},
            {{E::NotSaved}, 1, false, E::NotSaved},  // one drive: its own code, as alone
            {{E::Done, E::Done, E::NoDrive}, 1, false, E::SomeDrivesFailed},  // a loop
            {{E::Done, E::Stopped}, 2, true, E::Stopped},
            {{}, 2, true, E::Done},  // a loop stopped before any unit
        };
        for (const auto& r : rows) {
            QCOMPARE(kestrel::station::stationExitCode(r.units, r.drives, r.stopped), r.expected);
        }
        const QJsonObject unit{{"drive", "/dev/ttyUSB0"}, {"file", "a,\"b\".E"},
                               {"seconds", 1.5},          {"exitCode", 0},
                               {"model", "KX-M1"},        {"extra", "not a column"}};
        QCOMPARE(kestrel::station::recordLine(unit, true),
                 ",/dev/ttyUSB0,KX-M1,,,,\"a,\"\"b\"\".E\",,,1.5,,0\n");
        QCOMPARE(kestrel::station::recordLine(unit, false).count('\n'), 1);
        QVERIFY(!kestrel::station::recordLine(unit, false).contains("extra"));
    }

    // Each row: the drives, the station's options (DIR, REC), what the test
    // does meanwhile, the exit code and each drive's own code in order.
    void station_data() {
        QTest::addColumn<int>("row");
        for (int i = 0; i < 5; ++i) {
            QTest::addRow("%d", i) << i;
        }
    }

    void station() {
        QFETCH(int, row);
        QTemporaryDir dir;
        const QString file = dir.filePath("small.E");
        QVERIFY(writeFile(file, firmware("57", 6000)) &&
                writeFile(dir.filePath("big.E"), firmware("57", 65536)));
        const DriveSpec serialOk{"S", ""}, serialE{"S", "--error-at 3000"}, ethOk{"E2", ""},
            ethE{"E3", "--udp-error-at 10"};
        const QString rec = dir.filePath("units.csv");
        struct Case {
            std::vector<DriveSpec> drives;
            QStringList options;
            int exitCode;
            QList<int> codes;
        };
        const Case cases[] = {
            {{serialOk, serialE, ethOk, ethE}, {"--json", file}, 23, {0, 12, 0, 12}},
            {{ethOk, {"S", ""}}, {"--record", rec, dir.filePath("big.E")}, -1, {}},  // SIGKILL
            {{ethOk, serialOk}, {"--record", "/nonexistent/r.csv", file}, 24, {}},
            {{ethOk}, {"--json", "--firmware-dir", dir.path()}, 0, {0}},
            {{ethOk}, {"--loop", "--json", "--record", rec, file}, 0, {0}},  // SIGINT
        };
        const Case& c = cases[row];
        if (row == 1) {
            QVERIFY(writeFile(rec, "time,drive\nan,earlier line\n"));
        }
        if (row == 3) {  // the newest that fits is small.E; an older one and another family's
            QVERIFY(writeFile(dir.filePath("old.E"), firmware("57", 600, "1.05")) &&
                    writeFile(dir.filePath("other.E"), firmware("49", 600, "1.09")));
            QVERIFY(QFile::remove(dir.filePath("big.E")));
        }
        const QStringList alone[] = {row == 0 ? aloneOnTheWire(serialOk, file) : QStringList(),
                                     row == 0 ? aloneOnTheWire(ethOk, file) : QStringList()};

        Station st;
        QVERIFY(st.start(c.drives, row == 1 ? dir.filePath("big.E") : file));
        FlashProcess flash;
        flash.start(st.arguments + c.options);
        if (row != 2) {
            QVERIFY2(st.powerUp(flash), flash.report());
        }
        if (row == 1) {
            QVERIFY2(flash.waitForOutput("127.0.0.2: done (exit 0)"), flash.report());
            QVERIFY2(flash.waitForOutput("progress 10%"), flash.report());
            flash.process.kill();
        }
        if (row == 4) {
            QVERIFY2(flash.waitForOutput("\"event\":\"outcome\""), flash.report());
            QTest::qWait(2500);  // the unit stays: asked again, not flashed again
            ::kill(pid_t(flash.process.processId()), SIGINT);
        }
        QCOMPARE(flash.finish(), c.exitCode);
        for (auto& sim : st.sims) {
            sim->quit();
        }

        const QList<QJsonObject> outcomes = events(flash.out, "outcome");
        QCOMPARE(outcomes.size(), c.codes.size());
        for (int i = 0; i < c.codes.size(); ++i) {
            const auto found = std::find_if(outcomes.begin(), outcomes.end(), [&](const auto& o) {
                return o.value("drive") == st.names[i];
            });
            QVERIFY2(found != outcomes.end(), flash.report());
            QCOMPARE(found->value("exitCode").toInt(), c.codes[i]);
            // Success only where the drive took every byte of the image.
            QCOMPARE(st.sims[i]->verdict.contains("result: identical"), c.codes[i] == 0);
        }
        if (row == 0) {
            // The drives that succeeded saw exactly what a run for them alone sends.
            QCOMPARE(st.sims[0]->hostLines, alone[0]);
            QCOMPARE(st.sims[2]->hostLines, alone[1]);
            QCOMPARE(events(flash.out, "summary").value(0).value("exitCode").toInt(), 23);
            for (const int failed : {1, 3}) {  // each failure named, for its own drive
                const auto named = [&](const QJsonObject& o) {
                    return o.value("drive") == st.names[failed] &&
                           o.value("text") == "Drive sent back an error code";
                };
                const QList<QJsonObject> messages = events(flash.out, "message");
                QCOMPARE(std::count_if(messages.begin(), messages.end(), named), 1);
            }
        }
        if (row == 1 || row == 4) {
            QFile record(rec);
            QVERIFY(record.open(QIODevice::ReadOnly));
            const QByteArray text = record.readAll();
            QVERIFY2(text.endsWith('\n'), text.constData());
            const QList<QByteArray> lines = text.trimmed().split('\n');
            QCOMPARE(lines.size(), row == 1 ? 3 : 2);  // no unit twice, none half
            QVERIFY2(lines.last().contains("127.0.0.2") && lines.last().contains("done"),
                     text.constData());
        }
        if (row == 2) {  // refused before any drive was touched
            QVERIFY(flash.err.contains("cannot write the record /nonexistent/r.csv"));
            for (auto& sim : st.sims) {
                QVERIFY2(sim->hostLines.filter("host>").isEmpty(),
                         qPrintable(sim->hostLines.join('\n')));
            }
        }
        if (row == 3) {
            QCOMPARE(outcomes.value(0).value("file").toString(), QString("small.E"));
        }
    }
};

QTEST_GUILESS_MAIN(StationTest)
#include "test_station.moc"
