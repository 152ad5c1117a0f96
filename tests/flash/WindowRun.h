#pragma once

// The window (offscreen) on the real stack against a kestrel-drive-sim
// process, as a person would use it; shared by the flash tests and the
// fault matrix's window runs.
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "Doubles.h"
#include "Processes.h"
#include "platform/AppInfo.h"
#include "platform/qt/QtEventPump.h"
#include "platform/qt/QtSerialPort.h"
#include "platform/qt/QtUdpSocket.h"
#include "shell/Mainform.h"

namespace kestrel::testing {

// On serial the drive powers up; with a FILE, it is chosen, "Download to
// Drive..." is pressed and each box closed as a person pressing OK would.
// Returns the boxes' texts.
inline QStringList windowRun(SimDrive& sim, const QString& file, bool ethernet) {
    QtClock clock;
    QtEventPump pump(clock);
    MemorySettingsStore settings;
    settings.write(AppInfo::settingsApplication(), "Ports", "COM1", sim.ptyPath);
    settings.write(AppInfo::settingsApplication(), "Startup", "IPaddress", "127.0.0.1");
    QtSerialPort serial(settings);
    QtUdpSocket udp;
    ScriptedFileDialog dialog;
    Platform platform{clock, pump, serial, udp, dialog, settings};
    Mainform form(platform);
    form.Form_Load();
    form.show();
    QStringList texts;
    QTimer boxes;
    QObject::connect(&boxes, &QTimer::timeout, [&] {
        for (auto* box : form.findChildren<QMessageBox*>()) {
            if (box->isVisible()) {
                texts << box->text();
                box->done(QMessageBox::Ok);
            }
        }
    });
    boxes.start(20);
    if (ethernet) {
        form.session().chooseLink(Link::Ethernet);
    }
    auto* start = form.findChild<QPushButton*>("StartDownload");
    if (!file.isEmpty()) {
        dialog.choose(file);
        form.findChild<QPushButton*>("OpenPrograms")->click();
    }
    if (!ethernet) {
        const DriveShown blank = form.session().report().drive();
        sim.powerUp();
        const QDeadlineTimer deadline(10000);
        while (!(file.isEmpty() ? form.session().report().drive() != blank : start->isEnabled()) &&
               !deadline.hasExpired()) {
            QTest::qWait(20);
        }
    }
    if (!file.isEmpty()) {
        start->click();  // returns when the download has ended
    }
    form.session().Form_Unload();
    return texts;
}

}  // namespace kestrel::testing
