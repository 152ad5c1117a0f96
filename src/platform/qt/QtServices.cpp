#include "QtServices.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QSettings>
#include <cstdio>
#include <cstdlib>

#include "../AppInfo.h"

namespace kestrel {

QString QtSettingsStore::read(const QString& application, const QString& section,
                              const QString& key, const QString& defaultValue) const {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, application, application);
    if (settings.status() != QSettings::NoError) {
        return defaultValue;
    }
    return settings.value(section + QLatin1Char('/') + key, defaultValue).toString();
}

void QtSettingsStore::write(const QString& application, const QString& section, const QString& key,
                            const QString& value) {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, application, application);
    settings.setValue(section + QLatin1Char('/') + key, value);
    settings.sync();
}

void QtMessageBoxes::show(const QString& text, MessageIcon icon) {
    QMessageBox::Icon qtIcon = QMessageBox::NoIcon;
    if (icon == MessageIcon::Exclamation) {
        qtIcon = QMessageBox::Warning;
    } else if (icon == MessageIcon::Critical) {
        qtIcon = QMessageBox::Critical;
    }
    QMessageBox box(qtIcon, AppInfo::title(), text, QMessageBox::Ok, parent_);
    box.exec();
}

QString qtFileFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (!parts[i].isEmpty()) {
            entries << QStringLiteral("%1 (%2)").arg(parts[i], parts[i + 1]);
        }
    }
    return entries.join(QStringLiteral(";;"));
}

FileDialogResult QtFileDialog::getOpenFileName(const QString& title, const QString& filter,
                                               const QString& initialName) {
    const QString start = QDir::current().absoluteFilePath(initialName);
    const QString chosen =
        QFileDialog::getOpenFileName(parent_, title, start, qtFileFilter(filter));
    if (chosen.isEmpty()) {
        return {FileDialogResult::Outcome::Cancelled, {}, {}};
    }
    return {FileDialogResult::Outcome::Chosen, QDir::toNativeSeparators(chosen), {}};
}

void QtProgramControl::endProgram() {
    ended_ = true;
    if (pump_.depth() == 0) {
        QCoreApplication::exit(0);
        return;
    }
    // Unwinding the waits would let the interrupted handler go on talking to
    // the drive; the port is closed and the settings are saved by now.
    std::fflush(nullptr);
    std::_Exit(0);
}

}  // namespace kestrel
