// kestrel-updater's start, as its main() does it, up to the window's first
// paint (offscreen): prints CLOCK_MONOTONIC at that moment, for a caller that
// noted the clock before starting this process, and the peak resident memory
// so far. Then it leaves.
//
//   QT_QPA_PLATFORM=offscreen bench_window_start
#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QMessageBox>
#include <QStyleFactory>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtServices.h"
#include "platform/qt/QtUdpSocket.h"
#include "shell/Mainform.h"
#include "shell/WindowDialogs.h"

namespace {

class FirstPaint final : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            timespec ts{};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            QFile status(QStringLiteral("/proc/self/status"));
            status.open(QIODevice::ReadOnly);
            QByteArray peak;
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("VmHWM:")) {
                    peak = line.mid(6).trimmed();
                }
            }
            std::printf("shown-at %.6f peak-rss %s\n",
                        static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9,
                        peak.constData());
            std::fflush(stdout);
            QMetaObject::invokeMethod(
                qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    bool seen_ = false;
};

}  // namespace

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
    fileDialog.setParent(&form);
    // A message at start (a port held by someone else) would wait for a
    // click: say so and leave instead of measuring it.
    QTimer message;
    QObject::connect(&message, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::printf("message: %s\n", qPrintable(box->text()));
            std::exit(1);
        }
    });
    message.start(100);
    FirstPaint firstPaint;
    form.installEventFilter(&firstPaint);
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
