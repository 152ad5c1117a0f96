#include "UnitRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>
#include <cerrno>
#include <cstring>

namespace kestrel::station {

namespace {

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray csvField(const QJsonValue& value) {
    QByteArray text = value.isDouble() ? QByteArray::number(value.toDouble(), 'g', 10)
                                       : value.toVariant().toString().toUtf8();
    if (text.contains(',') || text.contains('"') || text.contains('\n') || text.contains('\r')) {
        text.replace('"', "\"\"");
        text = '"' + text + '"';
    }
    return text;
}

}  // namespace

const QStringList& recordColumns() {
    static const QStringList columns{"time",           "drive",         "model",   "mac",
                                     "revisionBefore", "revisionAfter", "file",    "sha256",
                                     "bytesSent",      "seconds",       "outcome", "exitCode"};
    return columns;
}

QByteArray recordLine(const QJsonObject& unit, bool csv) {
    if (!csv) {
        QJsonObject ordered;
        for (const QString& column : recordColumns()) {
            ordered.insert(column, unit.value(column));
        }
        return QJsonDocument(ordered).toJson(QJsonDocument::Compact) + '\n';
    }
    QByteArrayList fields;
    for (const QString& column : recordColumns()) {
        fields << csvField(unit.value(column));
    }
    return fields.join(',') + '\n';
}

UnitRecord::~UnitRecord() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool UnitRecord::open(const QString& path, QString* error) {
    csv_ = path.endsWith(QLatin1String(".csv"));
    fd_ = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                 0644);
    if (fd_ < 0) {
        *error = errnoText();
        return false;
    }
    struct stat status {};
    if (::fstat(fd_, &status) != 0) {
        *error = errnoText();
        return false;
    }
    if (csv_ && status.st_size == 0) {
        return writeWhole(recordColumns().join(QLatin1Char(',')).toUtf8() + '\n', error);
    }
    return true;
}

bool UnitRecord::append(const QJsonObject& unit, QString* error) {
    QMutexLocker lock(&mutex_);
    return writeWhole(recordLine(unit, csv_), error);
}

// One write() for the line where the kernel takes it (O_APPEND puts it at the
// end as a whole), then fsync: the line is on the disk before the next unit.
bool UnitRecord::writeWhole(const QByteArray& line, QString* error) {
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.constData() + done, size_t(line.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = errnoText();
            return false;
        }
        done += n;
    }
    if (::fsync(fd_) != 0) {
        *error = errnoText();
        return false;
    }
    return true;
}

}  // namespace kestrel::station
