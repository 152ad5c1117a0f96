#include "QtServices.h"

#include <QSettings>

namespace kestrel {

QString QtSettingsStore::read(const QString& application, const QString& section,
                              const QString& key, const QString& defaultValue) const {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, application, application);
    if (settings.status() != QSettings::NoError) {
        unreadable_ = settings.fileName();
        return defaultValue;
    }
    return settings.value(section + QLatin1Char('/') + key, defaultValue).toString();
}

void QtSettingsStore::write(const QString& application, const QString& section, const QString& key,
                            const QString& value) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, application, application);
    settings.setValue(section + QLatin1Char('/') + key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        unwritable_ = settings.fileName();
    }
}

}  // namespace kestrel
