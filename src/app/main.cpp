#include <QApplication>
#include <QStyleFactory>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/AppInfo.h"
#include "platform/SignalWatcher.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtServices.h"
#include "platform/qt/QtUdpSocket.h"
#include "shell/Mainform.h"
#include "shell/WindowDialogs.h"

namespace {

// Without a display Qt ends the start-up with its plugin text and abort();
// a technician on a terminal gets one line and an exit code instead.
constexpr int kNoDisplayExit = EXIT_FAILURE;

void sayNoDisplay(const char* reason) {
    std::fprintf(stderr,
                 "kestrel-updater: no display available (%s); use kestrel-flash on a terminal\n",
                 reason);
}

bool noDisplayNamed(int argc, char* argv[]) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            return false;
        }
    }
    return qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
           qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return false;
#endif
}

QtMessageHandler qtHandler = nullptr;

// Installed only while QApplication starts: a display that is named but cannot
// be reached is Qt's one fatal message there.
void exitWithoutDisplay(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        sayNoDisplay("the display cannot be reached");
        std::_Exit(kNoDisplayExit);
    }
    qtHandler(type, context, text);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (noDisplayNamed(argc, argv)) {
        sayNoDisplay("DISPLAY is not set");
        return kNoDisplayExit;
    }
    qtHandler = qInstallMessageHandler(exitWithoutDisplay);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtHandler);
    QApplication::setApplicationName(kestrel::AppInfo::title());
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    kestrel::QtClock clock;
    kestrel::QtEventPump pump(clock);
    kestrel::QtSettingsStore settings;
    kestrel::QtSerialPort serial(settings);
    kestrel::QtUdpSocket udp;
    kestrel::QtFileDialog fileDialog;
    kestrel::Platform platform{clock, pump, serial, udp, fileDialog, settings};

    kestrel::Mainform form(platform);
    form.setEndHandler([] { QCoreApplication::exit(0); });
    fileDialog.setParent(&form);
    kestrel::SignalWatcher signalWatcher([&form] { form.Quit_Click(); });

    form.Form_Load();
    if (form.session().ended()) {
        return 0;  // a signal arrived while start-up showed a message
    }
    form.show();
    return QApplication::exec();
}
