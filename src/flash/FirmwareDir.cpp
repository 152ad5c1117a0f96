#include "FirmwareDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "drive/DriveModels.h"
#include "firmware/FirmwareHeader.h"

namespace kestrel::flash {

namespace {

// Far more than two header fields take; a file is not read whole to judge it.
constexpr qint64 kHeaderBytes = 256;

bool fits(const FirmwareCandidate& file, int driveModel, bool allowUnknown) {
    if (findDriveFamily(file.model) == nullptr) {
        return allowUnknown;
    }
    return judgeFileFit(file.model, driveModel).accepted;
}

}  // namespace

QList<FirmwareCandidate> scanFirmwareDir(const QString& folder) {
    QList<FirmwareCandidate> found;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::Files | QDir::Readable, QDir::Name);
    for (const QFileInfo& entry : entries) {
        QFile file(entry.filePath());
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        const FirmwareHeader header = readFirmwareHeader(file.read(kHeaderBytes));
        const std::optional<int> hundredths = revisionHundredths(header.revision);
        const int model = modelCode(header.model);
        if (header.status == FirmwareHeader::Status::Complete && hundredths && model > 0) {
            found.push_back({entry.absoluteFilePath(), header.revision, *hundredths, model});
        }
    }
    return found;
}

FirmwareChoice chooseFirmware(const QList<FirmwareCandidate>& candidates, int driveModel,
                              bool allowUnknown) {
    FirmwareChoice choice;
    if (driveModel == 0) {
        // Every file "fits" a drive of no known model; choosing one would be a guess.
        choice.refusal = QStringLiteral("the drive's model is not known, so no file can be chosen");
        return choice;
    }
    const FirmwareCandidate* best = nullptr;
    for (const FirmwareCandidate& file : candidates) {
        if (!fits(file, driveModel, allowUnknown)) {
            continue;
        }
        if (best == nullptr || file.hundredths > best->hundredths) {
            best = &file;
            choice.ties.clear();
        } else if (file.hundredths == best->hundredths) {
            choice.ties << QFileInfo(file.path).fileName();
        }
    }
    if (best == nullptr) {
        choice.refusal =
            QStringLiteral("no file in the folder fits a drive of model %1").arg(driveModel);
        return choice;
    }
    choice.path = best->path;
    choice.revision = best->revision;
    return choice;
}

}  // namespace kestrel::flash
