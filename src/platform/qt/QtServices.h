#pragma once

#include "../SettingsStore.h"

namespace kestrel {

// QSettings in its native place: on Linux
// $XDG_CONFIG_HOME/<application>/<application>.conf.
class QtSettingsStore final : public SettingsStore {
  public:
    QString read(const QString& application, const QString& section, const QString& key,
                 const QString& defaultValue) const override;
    void write(const QString& application, const QString& section, const QString& key,
               const QString& value) override;
    QString unreadablePlace() const override { return unreadable_; }
    QString unwritablePlace() const override { return unwritable_; }

  private:
    mutable QString unreadable_;
    QString unwritable_;
};

}  // namespace kestrel
