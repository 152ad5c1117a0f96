// A kestrel-flash run in process, on simulated time with the in-process
// drive: the serial port closing under the download, which no drive process
// can make happen, ends the run with its own exit code.
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
            parseFlashArguments({"kestrel-flash", "--com", "1", dir.filePath("small.E")});
        QVERIFY(parsed.options);
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
        QCOMPARE(errText, "Comm Port Not Open\n");
        QVERIFY2(outText.contains("progress 10%") && !outText.contains("progress 100%"),
                 qPrintable(outText));
    }
};

QTEST_GUILESS_MAIN(FlashRunTest)
#include "test_flash_run.moc"
