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
    // A path opens the dialog in its folder with its name proposed.
    const QString start = QDir::current().absoluteFilePath(initialName);
    QFileDialog dialog(parent_, title, start, qtFileFilter(filter));
    dialog.setFileMode(QFileDialog::ExistingFile);
    open_ = &dialog;
    const bool accepted = dialog.exec() == QDialog::Accepted;
    const QString chosen = accepted ? dialog.selectedFiles().value(0) : QString();
    if (chosen.isEmpty()) {
        return {FileDialogResult::Outcome::Cancelled, {}, {}};
    }
    return {FileDialogResult::Outcome::Chosen, QDir::toNativeSeparators(chosen), {}};
}

void QtFileDialog::cancel() {
    if (open_) {
        open_->reject();
    }
}

}  // namespace kestrel
