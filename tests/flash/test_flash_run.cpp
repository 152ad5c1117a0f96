// A kestrel-flash run in process, on simulated time with the in-process
// drive: the serial port closing under the download, which no drive process
// can make happen, ends the run with its own exit code; what --verbose shows
// of it, and how the drive's bytes reach a terminal.
#include <QtTest>

#include "Doubles.h"
#include "Processes.h"
#include "SimulatedDriveLink.h"
#include "flash/FlashRun.h"

using namespace kestrel;
using namespace kestrel::flash;
using namespace kestrel::testing;

class FlashRunTest : public QObject {
    Q_OBJECT
  private slots:
    void portClosedDuringTheTransfer() {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("small.E"), firmware("57", 6000)));
        TestPlatform tp;
        tp.serial.setOpenResult(1, CommError::None);
        SimulatedDriveLink drive(tp);
        QString outText, errText;
        QTextStream out(&outText), err(&errText);
        ConsoleObserver observer(out, err);
        Session session(tp.platform, observer);
        RunSettings settings(tp.settings);
        const ParsedArguments parsed =
            parseFlashArguments({"kestrel-flash", "--com", "1", "-v", dir.filePath("small.E")});
        QVERIFY(parsed.options);
        observer.setVerbosity(verbosityOf(*parsed.options));
        tp.time.at(1.0, [&] { drive.powerUp(); });
        int blocksAtClose = 0;
        std::function<void()> closeInTransfer = [&] {
            if (session.downloadState().BlockCount >= 3) {
                blocksAtClose = session.downloadState().BlockCount;
                tp.serial.close();
                return;
            }
            tp.time.after(0.005, closeInTransfer);
        };
        tp.time.at(1.0, closeInTransfer);

        FlashRun run(*parsed.options, session, observer, settings, tp.time);
        QCOMPARE(run.run(), ExitCode::PortNotOpen);
        QCOMPARE(blocksAtClose, 3);
        // Every command, with the seconds since the start, before the message.
        static const QRegularExpression traced(
            "^(\\[ +\\d+\\.\\d{3} s\\] > (QT|S|q|B5827)\n){4}Comm Port Not Open\n$");
        QVERIFY2(traced.match(errText).hasMatch(), qPrintable(errText));
        QVERIFY2(outText.contains("progress 10%") && !outText.contains("progress 100%"),
                 qPrintable(outText));
        QVERIFY2(outText.contains("sent in"), qPrintable(outText));  // the rate, though it failed
    }

    // The drive's bytes as a terminal gets them: its CR ends a line, what is
    // not text is shown escaped, and a CR LF pair is one line end even when
    // split across two pieces.
    void bytesForATerminal() {
        const char* const rows[][2] = {
            {"OK\r", "OK\n"},
            {"a\r\nb\tc\n", "a\nb\tc\n"},
            {"\x1b[2J\x07", "<1B>[2J<07>"},
            {"\x7f\xff\xe9", "<7F><FF><E9>"},
        };
        for (const auto& [in, expected] : rows) {
            bool lastWasCr = false;
            QCOMPARE(ConsoleObserver::forTerminal(QString::fromLatin1(in), lastWasCr),
                     QString(expected));
        }
        bool lastWasCr = false;
        ConsoleObserver::forTerminal("x\r", lastWasCr);
        QCOMPARE(ConsoleObserver::forTerminal("\ny", lastWasCr), QString("y"));

        // --quiet: the status text and the progress go, messages and results stay.
        QString outText, errText;
        QTextStream out(&outText), err(&errText);
        ConsoleObserver quiet(out, err);
        quiet.setVerbosity(ConsoleObserver::Verbosity::Quiet);
        quiet.statusAppended("Download Firmware command Sent\r\n");
        quiet.progressChanged(50, 100);
        quiet.traced("> QT");
        quiet.showMessage("Drive sent back an error code", MessageIcon::None);
        quiet.printResult("done");
        QCOMPARE(outText, QString("done\n"));
        QCOMPARE(errText, QString("Drive sent back an error code\n"));
    }
};

QTEST_GUILESS_MAIN(FlashRunTest)
#include "test_flash_run.moc"
