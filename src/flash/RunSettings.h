#pragma once

#include <QMap>

#include "platform/SettingsStore.h"

namespace kestrel::flash {

// The settings kestrel-flash runs on: the window's real store is read (its
// [Ports] mapping above all), this run's choices lie over it, and whatever
// the session saves stays in memory, so the window's remembered port and
// address are never changed by a run from the terminal.
class RunSettings final : public SettingsStore {
  public:
    explicit RunSettings(const SettingsStore& real) : real_(real) {}

    QString read(const QString& application, const QString& section, const QString& key,
                 const QString& defaultValue) const override;
    void write(const QString& application, const QString& section, const QString& key,
               const QString& value) override;

  private:
    static QString path(const QString& application, const QString& section, const QString& key);

    const SettingsStore& real_;
    QMap<QString, QString> overlay_;
};

}  // namespace kestrel::flash
