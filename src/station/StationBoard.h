#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QStringList>
#include <QTextStream>

#include "report/SessionObserver.h"

namespace kestrel::station {

// How the station shows its drives: lines redrawn in place on a terminal,
// lines prefixed with the drive's name otherwise, or JSON lines.
enum class StationOutput { Terminal, Lines, Json };

// What the station shows of all its drives. Every call may come from any
// drive's thread; output is written whole, one call at a time.
class StationBoard {
  public:
    StationBoard(StationOutput mode, QTextStream& out, QTextStream& err, const QStringList& names);

    void unitStarted(int drive);
    // A line kestrel-flash printed for the drive: status text or a result,
    // or an error.
    void printed(int drive, const QString& line, bool error);
    void driveShown(int drive, const DriveShown& shown);
    void progress(int drive, qint64 value, qint64 maximum);
    void message(int drive, const QString& text);
    // The unit's record object (see UnitRecord) once its run has ended.
    void unitEnded(int drive, const QJsonObject& unit);
    // A line of the station's own, about no drive in particular.
    void stationLine(const QString& line, bool error);
    // The summary: a table, or the last JSON object.
    void finish(const QList<QJsonObject>& units, int exitCode, const QString& outcome);

  private:
    struct Row {
        QString name;
        QString model;
        QString before;
        QString after;
        int percent = -1;
        int tenthShown = -1;
        QString state;
        QString lastMessage;  // its console prints it again as an error line
    };
    void event(int drive, const QString& kind, QJsonObject fields);
    void redraw(bool force);
    QString rowText(const Row& row) const;

    const StationOutput mode_;
    QTextStream& out_;
    QTextStream& err_;
    QMutex mutex_;
    QList<Row> rows_;
    bool drawn_ = false;
    QElapsedTimer sinceDraw_;
};

}  // namespace kestrel::station
