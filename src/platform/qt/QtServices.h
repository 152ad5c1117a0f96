#pragma once

#include <QPointer>
#include <QWidget>

#include "../FileDialog.h"
#include "../MessageBoxes.h"
#include "../ProgramControl.h"
#include "../SettingsStore.h"
#include "QtEventPump.h"

namespace kestrel {

// QSettings in its native place: on Linux
// $XDG_CONFIG_HOME/<application>/<application>.conf.
class QtSettingsStore final : public SettingsStore {
  public:
    QString read(const QString& application, const QString& section, const QString& key,
                 const QString& defaultValue) const override;
    void write(const QString& application, const QString& section, const QString& key,
               const QString& value) override;
};

class QtMessageBoxes final : public MessageBoxes {
  public:
    void setParent(QWidget* parent) { parent_ = parent; }
    void show(const QString& text, MessageIcon icon) override;

  private:
    QPointer<QWidget> parent_;
};

class QtFileDialog final : public FileDialog {
  public:
    void setParent(QWidget* parent) { parent_ = parent; }
    FileDialogResult getOpenFileName(const QString& title, const QString& filter,
                                     const QString& initialName) override;

  private:
    QPointer<QWidget> parent_;
};

// "Qt filter" form of a "Caption|pattern|Caption|pattern|" filter.
QString qtFileFilter(const QString& filter);

// Ends the program: through the main loop when no wait is running; from
// inside a wait at once, as nothing may run after the window is unloaded.
class QtProgramControl final : public ProgramControl {
  public:
    explicit QtProgramControl(const QtEventPump& pump) : pump_(pump) {}
    void endProgram() override;
    bool ended() const { return ended_; }

  private:
    const QtEventPump& pump_;
    bool ended_ = false;
};

}  // namespace kestrel
