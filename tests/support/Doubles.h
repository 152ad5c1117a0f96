#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <vector>

#include "FakeSerialPort.h"
#include "FakeUdpSocket.h"
#include "SimTime.h"
#include "platform/FileDialog.h"
#include "platform/MessageBoxes.h"
#include "platform/Platform.h"
#include "platform/ProgramControl.h"
#include "platform/SettingsStore.h"

namespace kestrel::testing {

class RecordingMessageBoxes final : public MessageBoxes {
  public:
    struct Shown {
        QString text;
        MessageIcon icon;
    };
    void show(const QString& text, MessageIcon icon) override {
        shown.push_back({text, icon});
        if (onShow) {
            onShow(shown.back());
        }
    }
    QStringList texts() const {
        QStringList all;
        for (const auto& s : shown) {
            all << s.text;
        }
        return all;
    }
    std::vector<Shown> shown;
    // Runs while the (modal) box would be open.
    std::function<void(const Shown&)> onShow;
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
        if (answers.empty()) {
            return {FileDialogResult::Outcome::Cancelled, {}, {}};
        }
        FileDialogResult answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void choose(const QString& path) {
        answers.push_back({FileDialogResult::Outcome::Chosen, path, {}});
    }
    void cancel() { answers.push_back({FileDialogResult::Outcome::Cancelled, {}, {}}); }
    std::deque<FileDialogResult> answers;
    std::vector<Call> calls;
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

class RecordingProgramControl final : public ProgramControl {
  public:
    void endProgram() override { ++endCount; }
    int endCount = 0;
};

// A whole platform of doubles on one simulated clock.
struct TestPlatform {
    SimTime time;
    SimEventPump pump{time};
    FakeSerialPort serial{time};
    FakeUdpSocket udp{time};
    RecordingMessageBoxes messages;
    ScriptedFileDialog fileDialog;
    MemorySettingsStore settings;
    RecordingProgramControl program;
    Platform platform{time, pump, serial, udp, messages, fileDialog, settings, program};
};

}  // namespace kestrel::testing
