#include <QApplication>
#include <QStyleFactory>

#include "platform/AppInfo.h"
#include "platform/SignalWatcher.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtServices.h"
#include "platform/qt/QtUdpSocket.h"
#include "shell/Mainform.h"
#include "shell/WindowDialogs.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
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
