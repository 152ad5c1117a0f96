#include "WindowDialogs.h"

#include <QDir>
#include <QFileDialog>

namespace kestrel {

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

}  // namespace kestrel
