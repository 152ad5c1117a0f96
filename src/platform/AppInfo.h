#pragma once

#include <QString>

namespace kestrel {

// The application's title and version as the system shows them.
struct AppInfo {
    static QString title() { return QStringLiteral("Kestrel PRO Firmware Updater"); }
    static int major() { return 0; }
    static int minor() { return 1; }
    static int revision() { return 0; }
    // "Kestrel PRO Firmware Updater 0.1.0"
    static QString titleWithVersion() {
        return QStringLiteral("%1 %2.%3.%4").arg(title()).arg(major()).arg(minor()).arg(revision());
    }
    // The settings store's application name.
    static QString settingsApplication() { return QStringLiteral("KestrelUpdater"); }
};

}  // namespace kestrel
