#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMutex>
#include <QString>

namespace kestrel::station {

// The columns of a record line, in order; the JSON lines use the same names.
const QStringList& recordColumns();

// One unit's record line, ended by a line feed: CSV (a field with a comma, a
// quote or a line end quoted) or one JSON object.
QByteArray recordLine(const QJsonObject& unit, bool csv);

// --record FILE: one line per unit run, appended whole and flushed to disk
// before the next, so a crash or a power cut loses at most the unit in flight
// and never damages the lines before it. Shared by the drives' threads.
class UnitRecord {
  public:
    ~UnitRecord();
    // Opens (or creates) FILE for appending; a new or empty CSV file gets the
    // column names first. False, with the reason, when it cannot be written.
    bool open(const QString& path, QString* error);
    bool isOpen() const { return fd_ >= 0; }
    bool append(const QJsonObject& unit, QString* error);

  private:
    bool writeWhole(const QByteArray& line, QString* error);

    QMutex mutex_;
    int fd_ = -1;
    bool csv_ = false;
};

}  // namespace kestrel::station
