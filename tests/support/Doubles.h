#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <vector>

#include "SimTime.h"
#include "SimulatedSerialPort.h"
#include "SimulatedUdpSocket.h"
#include "platform/FileDialog.h"
#include "platform/Platform.h"
#include "platform/SettingsStore.h"
#include "report/SessionObserver.h"
#include "session/Session.h"

namespace kestrel::testing {

// The simulated drive's clock, serial line and network are the tests' doubles.
using drivesim::Faults;
using drivesim::SimEventPump;
using drivesim::SimTime;
using FakeSerialPort = drivesim::SimulatedSerialPort;
using FakeUdpSocket = drivesim::SimulatedUdpSocket;

// A front end that records what the session reports, as a person would see
// it: the status log as one text, the latest of every other report, and each
// message box in order.
class RecordingObserver final : public SessionObserver {
  public:
    struct Shown {
        QString text;
        MessageIcon icon;
    };

    void statusAppended(const QString& text) override { status += text; }
    void statusCleared() override { status.clear(); }
    void driveChanged(const DriveShown& d) override { drive = d; }
    void fileChanged(const FileShown& f) override { file = f; }
    void countersChanged(const Counters& c) override { counters = c; }
    void progressChanged(qint64 value, qint64) override { progress = value; }
    void extraTextChanged(const QString&) override {}
    void actionsChanged(const Actions& a) override { actions = a; }
    void linkChanged(Link l) override { link = l; }
    void portChoiceChanged(int index) override { portChoice = index; }
    void addressChanged(const QString& a) override { address = a; }
    void titleChanged(const QString& t) override { title = t; }
    void showMessage(const QString& text, MessageIcon icon) override {
        shown.push_back({text, icon});
        if (onShow) {
            onShow(shown.back());
        }
    }
    void sessionEnded() override { ++endCount; }

    QStringList texts() const {
        QStringList all;
        for (const auto& s : shown) {
            all << s.text;
        }
        return all;
    }

    QString status;
    DriveShown drive;
    FileShown file;
    Counters counters;
    qint64 progress = 0;
    Actions actions;
    Link link = Link::Serial;
    int portChoice = -1;
    QString address;
    QString title;
    std::vector<Shown> shown;
    // Runs while the (modal) box would be open.
    std::function<void(const Shown&)> onShow;
    int endCount = 0;
};

class ScriptedFileDialog final : public FileDialog {
  public:
    struct Call {
        QString title;
        QString filter;
        QString initialName;
    };
    FileDialogResult getOpenFileName(const QString& title, const QString& filter,
                                     const QString& initialName) override {
        calls.push_back({title, filter, initialName});
        cancelled = false;
        if (whileOpen) {
            whileOpen();
        }
        if (answers.empty() || cancelled) {
            return {FileDialogResult::Outcome::Cancelled, {}, {}};
        }
        FileDialogResult answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void choose(const QString& path) {
        answers.push_back({FileDialogResult::Outcome::Chosen, path, {}});
    }
    void cancel() override { cancelled = true; }
    std::deque<FileDialogResult> answers;
    std::vector<Call> calls;
    // Runs while the (modal) dialog is open, before the person answers; once
    // cancel() has been called the answer is a cancel.
    std::function<void()> whileOpen;
    bool cancelled = false;
};

class MemorySettingsStore final : public SettingsStore {
  public:
    QString read(const QString& application, const QString& section, const QString& key,
                 const QString& defaultValue) const override {
        return values.value(path(application, section, key), defaultValue);
    }
    void write(const QString& application, const QString& section, const QString& key,
               const QString& value) override {
        values.insert(path(application, section, key), value);
    }
    static QString path(const QString& a, const QString& s, const QString& k) {
        return a + QLatin1Char('/') + s + QLatin1Char('/') + k;
    }
    QMap<QString, QString> values;
};

// A whole platform of doubles on one simulated clock.
struct TestPlatform {
    SimTime time;
    SimEventPump pump{time};
    FakeSerialPort serial{time};
    FakeUdpSocket udp{time};
    ScriptedFileDialog fileDialog;
    MemorySettingsStore settings;
    Platform platform{time, pump, serial, udp, fileDialog, settings};
};

// The session on a platform of doubles with a recording front end: what
// component tests drive.
struct TestSession {
    TestPlatform tp;
    RecordingObserver seen;
    Session session{tp.platform, seen};
};

}  // namespace kestrel::testing
