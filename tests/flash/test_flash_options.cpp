// kestrel-flash's command line: every form it takes and each way it refuses one.
#include <QtTest>

#include "flash/FlashOptions.h"

using namespace kestrel::flash;
using Action = FlashOptions::Action;
using Link = FlashOptions::Link;

class FlashOptionsTest : public QObject {
    Q_OBJECT
  private slots:
    void parses_data();
    void parses();
};

void FlashOptionsTest::parses_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expected");  // action link port device/address wait file json
    QTest::addColumn<QString>("error");     // a part of the refusal; empty when accepted

    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"--port /dev/ttyUSB0 --identify", "0 1 1 /dev/ttyUSB0 10  0", ""},
        {"--port=/dev/pts/3 --identify --wait 2.5 a.E --json", "0 1 1 /dev/pts/3 2.5 a.E 1", ""},
        {"--com 8 --identify", "0 2 8  10  0", ""},
        {"--ip 192.168.0.20 --identify a.E", "0 3 0 192.168.0.20 10 a.E 0", ""},
        {"--ip 127.0.0.1 --ping --json", "1 3 0 127.0.0.1 10  1", ""},
        {"--list-ports", "2 0 0  10  0", ""},
        {"--com 2 a.E", "3 2 2  10 a.E 0", ""},
        {"--simulate", "3 2 1  10  0", ""},
        {"--simulate --ip 10.1.2.3 a.E --json", "3 3 0 10.1.2.3 10 a.E 1", ""},
        {"--simulate --com 2", "", "--simulate brings its own serial line"},
        {"--ping --help", "4 0 0  10  0", ""},
        {"--version", "5 0 0  10  0", ""},
        {"", "", "nothing to do"},
        {"--identify", "", "give the drive's link"},
        {"--frobnicate", "", "Unknown option 'frobnicate'"},
        {"--port", "", "Missing value after '--port'"},
        {"--port /dev/a --com 2 --identify", "", "only one of --port, --com and --ip"},
        {"--com 2 --com 3 --identify", "", "--com given more than once"},
        {"--com 0 --identify", "", "--com: expected a port number from 1 to 8, got \"0\""},
        {"--com 9 --identify", "", "--com: expected a port number from 1 to 8"},
        {"--ip 10.10.10 --ping", "", "--ip: expected an address"},
        {"--ip 1..2.3 --ping", "", "--ip: expected an address"},
        {"--com 1 --identify --wait 0", "", "--wait: expected seconds above 0 and up to 3600"},
        {"--com 1 --identify --wait 3601", "", "--wait: expected seconds"},
        {"--com 1 --identify a.E b.E", "", "at most one FILE"},
        {"--com 1 --identify --ping", "", "only one of --identify, --ping and --list-ports"},
        {"--com 1 --ping", "", "--ping asks over Ethernet"},
        {"--ip 127.0.0.1 --ping a.E", "", "--ping takes no FILE"},
        {"--list-ports --com 2", "", "--list-ports takes no port"},
    };
    for (const auto& [line, expected, error] : rows) {
        QTest::newRow(*line ? line : "(nothing)")
            << QString::fromLatin1(line) << QString::fromLatin1(expected)
            << QString::fromLatin1(error);
    }
}

void FlashOptionsTest::parses() {
    QFETCH(QString, line);
    QFETCH(QString, expected);
    QFETCH(QString, error);
    QStringList arguments{QStringLiteral("kestrel-flash")};
    arguments += line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const ParsedArguments parsed = parseFlashArguments(arguments);
    if (!error.isEmpty()) {
        QVERIFY2(!parsed.options && parsed.error.contains(error), qPrintable(parsed.error));
        return;
    }
    QVERIFY2(parsed.options, qPrintable(parsed.error));
    const FlashOptions& o = *parsed.options;
    const QString seen = QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                             .arg(int(o.action))
                             .arg(int(o.link))
                             .arg(o.comPort)
                             .arg(o.link == Link::Ip ? o.address : o.device)
                             .arg(o.waitSeconds)
                             .arg(o.file)
                             .arg(int(o.json));
    QCOMPARE(seen, expected);
}

QTEST_GUILESS_MAIN(FlashOptionsTest)
#include "test_flash_options.moc"
