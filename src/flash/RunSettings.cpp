#include "RunSettings.h"

namespace kestrel::flash {

QString RunSettings::path(const QString& application, const QString& section, const QString& key) {
    return application + QLatin1Char('/') + section + QLatin1Char('/') + key;
}

QString RunSettings::read(const QString& application, const QString& section, const QString& key,
                          const QString& defaultValue) const {
    const auto it = overlay_.constFind(path(application, section, key));
    return it != overlay_.cend() ? *it : real_.read(application, section, key, defaultValue);
}

void RunSettings::write(const QString& application, const QString& section, const QString& key,
                        const QString& value) {
    overlay_.insert(path(application, section, key), value);
}

}  // namespace kestrel::flash
