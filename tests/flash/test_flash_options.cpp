// kestrel-flash's command line at its edges: the first and last values each
// bound admits, the first it refuses, and each way options clash.
#include <QtTest>

#include "flash/FlashOptions.h"

using namespace kestrel::flash;

class FlashOptionsTest : public QObject {
    Q_OBJECT
  private slots:
    void parses_data() {
        QTest::addColumn<QString>("line");
        // Accepted: "action link comPort device/address wait file json
        // allowUnknownModel"; refused: a part of the refusal.
        QTest::addColumn<QString>("expected");
        const char* const rows[][2] = {
            {"--port=/dev/pts/3 --identify --wait 3600 a.E --json",
             "0 1 1 /dev/pts/3 3600 a.E 1 0"},
            {"--com 1 --identify --wait 0.001", "0 2 1  0.001  0 0"},
            {"--ip 255.255.255.255 --ping --json", "1 3 0 255.255.255.255 10  1 0"},
            {"--ip 1.2.3.4 a.E --allow-unknown-model", "3 3 0 1.2.3.4 10 a.E 0 1"},
            {"--list-ports", "2 0 0  10  0 0"},
            {"--ping --help", "4 0 0  10  0 0"},
            {"--com 0 --identify", "--com: expected a port number from 1 to 8, got \"0\""},
            {"--com 9 --identify", "--com: expected a port number from 1 to 8, got \"9\""},
            {"--com 1 --identify --wait 0", "--wait: expected seconds above 0 and up to 3600"},
            {"--com 1 --identify --wait 3600.5", "--wait: expected seconds"},
            {"--ip 256.1.1.1 --ping", "--ip: expected an address"},
            {"", "nothing to do"},
            {"--port /dev/a --com 2 --identify", "only one of --port, --com and --ip"},
            {"--simulate --com 2", "--simulate brings its own serial line"},
            {"--com 1 --identify a.E b.E", "at most one FILE"},
            {"--com 1 --identify --ping", "only one of --identify, --ping and --list-ports"},
            {"--com 1 --ping", "--ping asks over Ethernet"},
        };
        for (const auto& [line, expected] : rows) {
            QTest::newRow(*line ? line : "(nothing)") << QString(line) << QString(expected);
        }
    }

    void parses() {
        QFETCH(QString, line);
        QFETCH(QString, expected);
        const ParsedArguments parsed =
            parseFlashArguments(QStringList{"kestrel-flash"} + line.split(' ', Qt::SkipEmptyParts));
        if (!parsed.options) {
            QVERIFY2(parsed.error.contains(expected), qPrintable(parsed.error));
            return;
        }
        const FlashOptions& o = *parsed.options;
        QCOMPARE(QString("%1 %2 %3 %4 %5 %6 %7 %8")
                     .arg(int(o.action))
                     .arg(int(o.where))
                     .arg(o.comPort)
                     .arg(o.where == FlashOptions::Where::Ip ? o.address : o.device)
                     .arg(o.waitSeconds)
                     .arg(o.file)
                     .arg(int(o.json))
                     .arg(int(o.allowUnknownModel)),
                 expected);
    }
};

QTEST_GUILESS_MAIN(FlashOptionsTest)
#include "test_flash_options.moc"
