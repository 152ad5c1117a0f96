#include "FirmwareChooser.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include "FirmwareFolder.h"
#include "FirmwareHeader.h"

namespace kestrel {

namespace {

const char* const kDialogTitle = "Open DSP Firmware File";
const char* const kDialogFilter = "Firmware Files *.E|*.E|";

}  // namespace

void FirmwareChooser::OpenPrograms_Click() {
    view_.setEnabled(Button::OpenPrograms, false);
    const auto enableAgain = qScopeGuard([this] { view_.setEnabled(Button::OpenPrograms, true); });
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
    view_.setCaption(Label::FileName, choice.path);

    QString failure = rememberFirmwarePath(folder, choice.path);
    QFile file(choice.path);
    if (!file.open(QIODevice::ReadOnly)) {
        failure = QStringLiteral("Cannot open the firmware file \"%1\": %2")
                      .arg(QDir::toNativeSeparators(choice.path), file.errorString());
    }
    if (!failure.isEmpty()) {
        showError(failure);
        return;
    }
    showHeader(file);
}

void FirmwareChooser::showHeader(QIODevice& file) {
    using Status = FirmwareHeader::Status;
    const FirmwareHeader header = readFirmwareHeader(file);
    if (header.hasRevision()) {
        view_.setCaption(Label::FileRev, header.revision);
        state_.FileRevNumber = revisionNumber(header.revision);
    }
    switch (header.status) {
        case Status::Empty:
        case Status::EndsAfterRevision:
            messages_.show(QStringLiteral("The Firmware file was empty"));
            return;
        case Status::RevisionUnreadable:
        case Status::ModelUnreadable:
            showError(QStringLiteral("The header of the firmware file \"%1\" cannot be read: %2")
                          .arg(QDir::toNativeSeparators(state_.path), header.error));
            return;
        case Status::Complete:
            break;
    }
    state_.FileModelCode = modelCode(header.model);
    view_.setCaption(Label::FileModel, fileModelCaption(state_.FileModelCode));
    // On serial the drive's own announcement enables the download.
    if (view_.isEthernetSelected()) {
        view_.setEnabled(Button::StartDownload, true);
    }
}

void FirmwareChooser::showError(const QString& description) {
    messages_.show(QStringLiteral("Error: ") + description);
}

}  // namespace kestrel
