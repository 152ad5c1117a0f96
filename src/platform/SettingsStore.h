#pragma once

#include <QString>

namespace kestrel {

// Per-user settings by application, section and key. A store that cannot be
// read yields the default; one that cannot be written drops the value.
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;
    virtual QString read(const QString& application, const QString& section, const QString& key,
                         const QString& defaultValue) const = 0;
    virtual void write(const QString& application, const QString& section, const QString& key,
                       const QString& value) = 0;
    // Where the store lives, once a read found it unreadable or a write was
    // lost; empty while every read and write went through.
    virtual QString unreadablePlace() const { return {}; }
    virtual QString unwritablePlace() const { return {}; }
};

}  // namespace kestrel
