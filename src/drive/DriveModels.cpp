#include "DriveModels.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace kestrel {

namespace {

struct ModelRow {
    int code;
    const char* model;
    const char* description;
};

constexpr std::array<ModelRow, 5> kModels{{
    {20, "KX-D1", "Stepper Drive"},
    {21, "KX-D2", "Stepper Drive"},
    {49, "KX-M3", "NEMA 23 Integrated Step Motor & Drive"},
    {51, "KX-M4", "NEMA 24 Integrated Step Motor & Drive"},
    {55, "KX-M1", "NEMA 17 Integrated Step Motor & Drive"},
}};

constexpr std::array kDFiles{20, 21, 26, 27};
constexpr std::array kDDrives{20, 21, 26, 27, 129, 130};
constexpr std::array kAFiles{22, 23, 24, 25, 28, 29};
constexpr std::array kADrives{11, 12, 13, 14, 16, 17, 19, 22, 23, 24, 25, 28, 29};
constexpr std::array kBFiles{41, 42, 43, 47};
constexpr std::array kBHFiles{44, 45, 46, 48};
constexpr std::array kBDrives{41, 42, 43, 44, 45, 46, 47, 48};
constexpr std::array kM3Models{49, 50, 54};
constexpr std::array kM4Models{51, 52, 53};
constexpr std::array kCFiles{144, 145, 146};
constexpr std::array kCDrives{51, 52, 53, 144, 145, 146};
constexpr std::array kM1Models{55, 56, 57};
constexpr std::array kEModels{79, 80, 81, 82, 83, 85, 86, 87, 88, 89};

const std::array<DriveFamily, 9> kFamilies{{
    {kDFiles, "KX-D1 or D2", true, kDDrives},
    {kAFiles, "QN-A", true, kADrives},
    {kBFiles, "QN-B", true, kBDrives},
    {kBHFiles, "QN-B-H", true, kBDrives},
    {kM3Models, "KX-M3", false, kM3Models},
    {kM4Models, "KX-M4", false, kM4Models},
    {kCFiles, "QN-C", false, kCDrives},
    {kM1Models, "KX-M1", false, kM1Models},
    {kEModels, "QN-E-L/H", true, kEModels},
}};

bool contains(std::span<const int> values, int value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

}  // namespace

DriveModelInfo lookupDriveModel(int code) {
    for (const ModelRow& row : kModels) {
        if (row.code == code) {
            return {true, QString::fromUtf8(row.model), QString::fromUtf8(row.description)};
        }
    }
    return {false, QStringLiteral("Unknown"), QString()};
}

void DescribeDriveModel(int DriveCode, Reporter& report, DriveState& drive) {
    const DriveModelInfo info = lookupDriveModel(DriveCode);
    report.setDriveModel(info.model, info.description);
    if (!info.known) {
        drive.DriveModelCode = 0;
    }
}

std::span<const DriveFamily> driveFamilies() {
    return kFamilies;
}

const DriveFamily* findDriveFamily(int fileModel) {
    for (const DriveFamily& family : kFamilies) {
        if (contains(family.fileModels, fileModel)) {
            return &family;
        }
    }
    return nullptr;
}

FileFit judgeFileFit(int fileModel, int driveModel) {
    if (driveModel == 0) {
        return {};
    }
    const DriveFamily* family = findDriveFamily(fileModel);
    if (family == nullptr) {
        return {true, QStringLiteral("Unknown"), true};
    }
    const bool accepted = contains(family->acceptedDrives, driveModel);
    const bool shown = family->captionAlways || accepted;
    return {accepted, shown ? QString::fromUtf8(family->caption) : QString(), false};
}

bool FileMatchesDrive(int& FileModelNumber, int DriveModelNumber, Reporter& report,
                      FirmwareState& firmware) {
    const FileFit fit = judgeFileFit(FileModelNumber, DriveModelNumber);
    if (!fit.caption.isEmpty()) {
        report.setFileModel(fit.caption);
    }
    if (fit.fileUnknown) {
        FileModelNumber = 0;
        report.setFileRevision(QStringLiteral("0.00"));
        firmware.FileRevNumber = 0;
    }
    return fit.accepted;
}

bool IsUnknownFileModel(int FileModelNumber) {
    return findDriveFamily(FileModelNumber) == nullptr;
}

QString UnknownFileModelText(int FileModelNumber) {
    return QStringLiteral("The firmware file is for model %1, which this updater does not know")
        .arg(FileModelNumber);
}

bool ReportUnknownFileModel(int FileModelNumber, Reporter& report) {
    if (!IsUnknownFileModel(FileModelNumber)) {
        return false;
    }
    report.appendStatus(UnknownFileModelText(FileModelNumber) + QStringLiteral("\r\n"));
    return true;
}

QString DriveRevisionText(int revisionNumber) {
    // Whole hundredths: no binary fraction, no locale's decimal comma.
    const int hundredths = revisionNumber + 100;
    const int magnitude = std::abs(hundredths);
    return QStringLiteral("%1%2.%3")
        .arg(hundredths < 0 ? QStringLiteral("-") : QString())
        .arg(magnitude / 100)
        .arg(magnitude % 100, 2, 10, QLatin1Char('0'));
}

}  // namespace kestrel
