#include "StationBoard.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace kestrel::station {

namespace {

// A terminal is redrawn at most this often; a unit's end is drawn at once.
constexpr qint64 kRedrawMs = 100;
constexpr int kBarWidth = 20;

QString oneLine(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.simplified();
}

}  // namespace

StationBoard::StationBoard(StationOutput mode, QTextStream& out, QTextStream& err,
                           const QStringList& names)
    : mode_(mode), out_(out), err_(err) {
    for (const QString& name : names) {
        Row row;
        row.name = name;
        row.state = QStringLiteral("waiting");
        rows_.push_back(row);
    }
    sinceDraw_.start();
}

void StationBoard::unitStarted(int drive) {
    QMutexLocker lock(&mutex_);
    Row fresh;
    fresh.name = rows_[drive].name;
    fresh.state = QStringLiteral("waiting for a drive");
    rows_[drive] = fresh;
    redraw(false);
}

void StationBoard::printed(int drive, const QString& line, bool error) {
    QMutexLocker lock(&mutex_);
    const QString text = oneLine(line);
    if (text.isEmpty()) {
        return;
    }
    switch (mode_) {
        case StationOutput::Lines:
            (error ? err_ : out_) << rows_[drive].name << ": " << text << '\n';
            (error ? err_ : out_).flush();
            break;
        case StationOutput::Json:
            // Progress has events of its own; a message its console repeats
            // as an error is one event.
            if (!error && !text.startsWith(QLatin1String("progress "))) {
                event(drive, QStringLiteral("status"), {{"text", text}});
            } else if (error && text != rows_[drive].lastMessage) {
                event(drive, QStringLiteral("error"), {{"text", text}});
            }
            break;
        case StationOutput::Terminal:
            if (!text.startsWith(QLatin1String("progress "))) {
                rows_[drive].state = text;
                redraw(false);
            }
            break;
    }
}

void StationBoard::driveShown(int drive, const DriveShown& shown) {
    QMutexLocker lock(&mutex_);
    Row& row = rows_[drive];
    if (shown == DriveShown{}) {
        return;
    }
    row.model = shown.model;
    // The first drive the unit showed is the revision it came with; the
    // revision after is only known once the run has ended.
    if (row.before.isEmpty()) {
        row.before = shown.revision;
    }
    redraw(false);
}

void StationBoard::progress(int drive, qint64 value, qint64 maximum) {
    QMutexLocker lock(&mutex_);
    Row& row = rows_[drive];
    if (value == 0 && row.percent > 0) {
        return;  // the clean-up empties the bar; the row keeps how far it got
    }
    row.percent = maximum > 0 ? int(value * 100 / maximum) : 0;
    const int tenth = row.percent / 10;
    if (mode_ == StationOutput::Json && tenth != row.tenthShown) {
        row.tenthShown = tenth;
        event(drive, QStringLiteral("progress"), {{"percent", tenth * 10}});
    }
    redraw(false);
}

void StationBoard::message(int drive, const QString& text) {
    QMutexLocker lock(&mutex_);
    if (mode_ == StationOutput::Json) {
        event(drive, QStringLiteral("message"), {{"text", text}});
    }
    rows_[drive].state = oneLine(text);
    rows_[drive].lastMessage = rows_[drive].state;
    redraw(false);
}

void StationBoard::unitEnded(int drive, const QJsonObject& unit) {
    QMutexLocker lock(&mutex_);
    Row& row = rows_[drive];
    row.after = unit.value("revisionAfter").toString();
    row.state = QStringLiteral("%1 (exit %2)")
                    .arg(unit.value("outcome").toString())
                    .arg(unit.value("exitCode").toInt());
    switch (mode_) {
        case StationOutput::Json:
            event(drive, QStringLiteral("outcome"), unit);
            break;
        case StationOutput::Lines:
            out_ << row.name << ": " << row.state << '\n';
            out_.flush();
            break;
        case StationOutput::Terminal:
            redraw(true);
            break;
    }
}

void StationBoard::stationLine(const QString& line, bool error) {
    QMutexLocker lock(&mutex_);
    if (mode_ == StationOutput::Json) {
        out_ << QJsonDocument(QJsonObject{{"event", error ? "error" : "station"}, {"text", line}})
                    .toJson(QJsonDocument::Compact)
             << '\n';
        out_.flush();
        return;
    }
    if (mode_ == StationOutput::Terminal && drawn_) {
        // Above the drives' lines, which are drawn again below it.
        out_ << QStringLiteral("\x1b[%1A\r\x1b[J").arg(rows_.size());
        drawn_ = false;
    }
    (error ? err_ : out_) << line << '\n';
    (error ? err_ : out_).flush();
    redraw(true);
}

void StationBoard::finish(const QList<QJsonObject>& units, int exitCode, const QString& outcome) {
    QMutexLocker lock(&mutex_);
    if (mode_ == StationOutput::Json) {
        QJsonArray list;
        for (const QJsonObject& unit : units) {
            list.append(unit);
        }
        out_ << QJsonDocument(QJsonObject{{"event", "summary"},
                                          {"units", list},
                                          {"exitCode", exitCode},
                                          {"outcome", outcome}})
                    .toJson(QJsonDocument::Compact)
             << '\n';
        out_.flush();
        return;
    }
    redraw(true);
    out_ << QStringLiteral("\n%1 %2 %3 %4 %5  %6\n")
                .arg(QStringLiteral("drive"), -18)
                .arg(QStringLiteral("model"), -10)
                .arg(QStringLiteral("before"), -8)
                .arg(QStringLiteral("after"), -8)
                .arg(QStringLiteral("seconds"), 8)
                .arg(QStringLiteral("outcome"));
    for (const QJsonObject& unit : units) {
        out_ << QStringLiteral("%1 %2 %3 %4 %5  %6 (exit %7)\n")
                    .arg(unit.value("drive").toString(), -18)
                    .arg(unit.value("model").toString(), -10)
                    .arg(unit.value("revisionBefore").toString(), -8)
                    .arg(unit.value("revisionAfter").toString(), -8)
                    .arg(unit.value("seconds").toDouble(), 8, 'f', 1)
                    .arg(unit.value("outcome").toString())
                    .arg(unit.value("exitCode").toInt());
    }
    out_ << QStringLiteral("%1 unit(s): %2 (exit %3)\n")
                .arg(units.size())
                .arg(outcome)
                .arg(exitCode);
    out_.flush();
}

void StationBoard::event(int drive, const QString& kind, QJsonObject fields) {
    fields.insert("event", kind);
    fields.insert("drive", rows_[drive].name);
    out_ << QJsonDocument(fields).toJson(QJsonDocument::Compact) << '\n';
    out_.flush();
}

QString StationBoard::rowText(const Row& row) const {
    const int filled = row.percent < 0 ? 0 : row.percent * kBarWidth / 100;
    const QString bar =
        QString(filled, QLatin1Char('#')) + QString(kBarWidth - filled, QLatin1Char(' '));
    const QString percent =
        row.percent < 0 ? QStringLiteral("   ") : QStringLiteral("%1%").arg(row.percent, 3);
    return QStringLiteral("%1 %2 %3 -> %4 [%5] %6  %7")
        .arg(row.name, -18)
        .arg(row.model, -10)
        .arg(row.before, 6)
        .arg(row.after, -6)
        .arg(bar, percent, row.state);
}

void StationBoard::redraw(bool force) {
    if (mode_ != StationOutput::Terminal ||
        (!force && drawn_ && sinceDraw_.elapsed() < kRedrawMs)) {
        return;
    }
    if (drawn_) {
        out_ << QStringLiteral("\x1b[%1A").arg(rows_.size());
    }
    for (const Row& row : rows_) {
        out_ << "\r\x1b[2K" << rowText(row) << '\n';
    }
    out_.flush();
    drawn_ = true;
    sinceDraw_.restart();
}

}  // namespace kestrel::station
