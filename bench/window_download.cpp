// The window's download on the real serial stack, offscreen: kestrel-updater's
// Mainform with the real clock, event loop and serial port on a pty, the file
// dialog answered with FILE and every message box accepted. Prints each
// message it accepted; ends once the download handler has returned.
//
//   QT_QPA_PLATFORM=offscreen bench_window_download PTY FILE
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

#include "Doubles.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "shell/Mainform.h"

using namespace kestrel;
using namespace kestrel::testing;

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PTY FILE\n", argv[0]);
        return 2;
    }
    SimTime unusedTime;
    QtClock clock;
    QtEventPump pump(clock);
    MemorySettingsStore settings;
    settings.write(AppInfo::settingsApplication(), QStringLiteral("Ports"), QStringLiteral("COM1"),
                   QString::fromLocal8Bit(argv[1]));
    QtSerialPort serial(settings);
    FakeUdpSocket udp(unusedTime);  // keeps UDP 7777 free for the Ethernet figures
    ScriptedFileDialog fileDialog;
    fileDialog.choose(QString::fromLocal8Bit(argv[2]));
    Platform platform{clock, pump, serial, udp, fileDialog, settings};
    Mainform form(platform);

    QTimer accept;
    QObject::connect(&accept, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::printf("message: %s\n", qPrintable(box->text()));
            std::fflush(stdout);
            box->accept();
        }
    });
    accept.start(20);

    form.Form_Load();
    form.show();
    // The drive announces itself on the pty once the port is open.
    for (QElapsedTimer t; !t.isValid() || t.elapsed() < 10000;) {
        if (!t.isValid()) {
            t.start();
        }
        if (form.session().driveState().DriveModelCode != 0) {
            break;
        }
        pump.waitForEvents(clock.now() + 0.05);
    }
    std::printf("drive: model %d\n", form.session().driveState().DriveModelCode);
    std::fflush(stdout);
    form.session().OpenPrograms_Click();
    form.session().StartDownload_Click();
    std::printf("download handler returned\n");
    std::fflush(stdout);
    form.session().Form_Unload();
    return 0;
}
