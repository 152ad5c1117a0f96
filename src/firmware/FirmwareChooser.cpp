#include "FirmwareChooser.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include "FirmwareFolder.h"
#include "FirmwareHeader.h"
#include "drive/DriveModels.h"

namespace kestrel {

namespace {

const char* const kDialogTitle = "Open DSP Firmware File";
const char* const kDialogFilter = "Firmware Files *.E|*.E|";

QString openFailure(const QString& path, const QFile& file) {
    return QStringLiteral("Cannot open the firmware file \"%1\": %2")
        .arg(QDir::toNativeSeparators(path), file.errorString());
}

}  // namespace

void FirmwareChooser::OpenPrograms_Click() {
    report_.allowOpenPrograms(false);
    const auto enableAgain = qScopeGuard([this] { report_.allowOpenPrograms(true); });
    choose();
}

void FirmwareChooser::choose() {
    const QString folder = firmwareFolder();
    prepareFirmwareFolder(folder);
    const FileDialogResult choice = dialog_.getOpenFileName(
        QLatin1String(kDialogTitle), QLatin1String(kDialogFilter), proposedFirmwareName(folder));
    if (choice.outcome == FileDialogResult::Outcome::Cancelled) {
        return;
    }
    if (choice.outcome == FileDialogResult::Outcome::Failed) {
        showError(choice.error.isEmpty() ? QStringLiteral("The file dialog could not be shown")
                                         : choice.error);
        return;
    }

    // From here on the chosen file is the selected one, whatever reading it gives.
    state_.path = choice.path;
    report_.setFileName(choice.path);

    QString failure = rememberFirmwarePath(folder, choice.path);
    QFile file(choice.path);
    if (!file.open(QIODevice::ReadOnly)) {
        failure = openFailure(choice.path, file);
    }
    if (!failure.isEmpty()) {
        showError(failure);
        return;
    }
    // Said now, while the window's log can show it before the download
    // starts and empties the log; a file named on a command line is told
    // about at its fit check instead.
    if (showHeader(file)) {
        ReportUnknownFileModel(state_.FileModelCode, report_);
    }
}

bool FirmwareChooser::loadFile(const QString& path) {
    state_.path = path;
    report_.setFileName(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        showError(openFailure(path, file));
        return false;
    }
    return showHeader(file);
}

bool FirmwareChooser::showHeader(QIODevice& file) {
    using Status = FirmwareHeader::Status;
    const FirmwareHeader header = readFirmwareHeader(file);
    if (header.hasRevision()) {
        report_.setFileRevision(header.revision);
        state_.FileRevNumber = revisionNumber(header.revision);
    }
    switch (header.status) {
        case Status::Empty:
        case Status::EndsAfterRevision:
            report_.showMessage(QStringLiteral("The Firmware file was empty"));
            return false;
        case Status::RevisionUnreadable:
        case Status::ModelUnreadable:
            showError(QStringLiteral("The header of the firmware file \"%1\" cannot be read: %2")
                          .arg(QDir::toNativeSeparators(state_.path), header.error));
            return false;
        case Status::Complete:
            break;
    }
    state_.FileModelCode = modelCode(header.model);
    report_.setFileModel(fileModelCaption(state_.FileModelCode));
    // On serial the drive's own announcement enables the download.
    if (choices_.link == Link::Ethernet) {
        report_.allowStartDownload(true);
    }
    return true;
}

void FirmwareChooser::showError(const QString& description) {
    report_.showMessage(QStringLiteral("Error: ") + description);
}

}  // namespace kestrel
