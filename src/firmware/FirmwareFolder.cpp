#include "FirmwareFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "FirmwareHeader.h"

namespace kestrel {

namespace {

const char* const kRecordName = "FirmwareFile.txt";
const char* const kDefaultFirmwareName = "Flash.elf.E";

QString recordPath(const QString& folder) {
    return QDir(folder).filePath(QLatin1String(kRecordName));
}

QString inFolder(const QString& folder, const QString& name) {
    return QDir::toNativeSeparators(QDir(folder).filePath(QDir::fromNativeSeparators(name)));
}

}  // namespace

QString firmwareFolder() {
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\Program Files\\Veltrane");
#else
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Veltrane"));
#endif
}

void prepareFirmwareFolder(const QString& folder) {
    const QDir dir(folder);
    if (dir.isEmpty(QDir::Files | QDir::Hidden | QDir::System)) {
        QDir().mkpath(folder);
    }
}

QString proposedFirmwareName(const QString& folder) {
    const QString fallback = inFolder(folder, QLatin1String(kDefaultFirmwareName));
    QFile record(recordPath(folder));
    if (!record.open(QIODevice::ReadOnly) || record.atEnd()) {
        return fallback;
    }
    const TextField field = readField(record);
    if (!field.ok || field.value.isEmpty()) {
        return fallback;
    }
    return inFolder(folder, QString::fromUtf8(field.value));
}

QString rememberFirmwarePath(const QString& folder, const QString& path) {
    const QString target = recordPath(folder);
    QString reason;
    if (!QFileInfo(folder).isDir()) {
        // The system's own "not a directory" would not say which one.
        reason = QStringLiteral("the folder \"%1\" is missing and cannot be created")
                     .arg(QDir::toNativeSeparators(folder));
    } else {
        QSaveFile record(target);
        // A folder we may not create files in may still hold a record we may replace.
        record.setDirectWriteFallback(true);
        if (record.open(QIODevice::WriteOnly)) {
            record.write("\"" + path.toUtf8() + "\"\r\n");
            if (record.commit()) {
                return {};
            }
        }
        reason = record.errorString();
    }
    return QStringLiteral("Cannot remember the firmware file's path in \"%1\": %2")
        .arg(QDir::toNativeSeparators(target), reason);
}

}  // namespace kestrel
