// One download through the window (offscreen) against its own
// kestrel-drive-sim, for the fault matrix (scripts/faults): prints each box's
// text, the last line setting the host made and the drive's verdict.
//   faults_window_run [--ethernet] [--size BYTES] -- DRIVE-SIM-OPTIONS...
#include <QApplication>
#include <QTextStream>

#include "WindowRun.h"

using namespace kestrel::testing;

namespace {

// The drive may still be taking the image when the window's run ends; its
// verdict is the only word on whether the image arrived whole.
void awaitVerdict(SimDrive& sim) {
    const QDeadlineTimer deadline(8000);
    while (!sim.process.peek(1 << 20).contains("verdict") && !deadline.hasExpired() &&
           sim.process.state() == QProcess::Running) {
        sim.process.waitForReadyRead(100);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const qsizetype split = args.indexOf("--");
    const QStringList drive = split < 0 ? QStringList{} : args.mid(split + 1);
    args = args.mid(0, split < 0 ? args.size() : split);
    const bool ethernet = args.contains("--ethernet");
    const qsizetype sizeAt = args.indexOf("--size");
    const int size = sizeAt >= 0 && sizeAt + 1 < args.size() ? args[sizeAt + 1].toInt() : 16384;

    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path()));
    const QString file = dir.filePath("Flash.E");
    SimDrive sim;
    if (!writeFile(file, firmware("55", size)) ||
        !sim.start(drive + QStringList{"--firmware", file})) {
        qCritical("kestrel-drive-sim did not start");
        return 2;
    }
    QTextStream out(stdout);
    for (const QString& text : windowRun(sim, file, ethernet)) {
        out << "box: " << QString(text).replace('\r', ' ').replace('\n', ' ') << '\n';
    }
    awaitVerdict(sim);
    sim.quit();
    QString lastSetting;  // where the window left the line
    for (const QString& line : sim.hostLines) {
        if (line.contains("host line set to")) {
            lastSetting = line;
        }
    }
    out << lastSetting << '\n';
    out << sim.verdict;
    return 0;
}
