#include "ConsoleObserver.h"

#include <QJsonArray>

namespace kestrel::flash {

namespace {

QString iconName(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Exclamation:
            return QStringLiteral("exclamation");
        case MessageIcon::Critical:
            return QStringLiteral("critical");
        case MessageIcon::None:
            break;
    }
    return QStringLiteral("none");
}

}  // namespace

// The drive ends its lines with CR, the status log with CR LF: a terminal
// needs LF alone, or a lone CR would overwrite the line it ends.
QString ConsoleObserver::forTerminal(const QString& text, bool& lastWasCr) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\n') && lastWasCr) {
            lastWasCr = false;
            continue;
        }
        lastWasCr = c == QLatin1Char('\r');
        out += lastWasCr ? QChar(QLatin1Char('\n')) : c;
    }
    return out;
}

void ConsoleObserver::statusAppended(const QString& text) {
    status_ += text;
    progress_.interrupt();
    const QString shown = forTerminal(text, statusLastWasCr_);
    out_ << shown;
    out_.flush();
    if (!shown.isEmpty()) {
        progress_.textPrinted(shown.endsWith(QLatin1Char('\n')));
    }
}

void ConsoleObserver::progressChanged(qint64 value, qint64 maximum) {
    progress_.update(value, maximum);
}

void ConsoleObserver::showMessage(const QString& text, MessageIcon icon) {
    messages_ << text;
    icons_ << iconName(icon);
    if (!held_) {
        printError(text);
    }
}

void ConsoleObserver::printResult(const QString& line) {
    progress_.interrupt();
    bool lastWasCr = false;
    out_ << forTerminal(line, lastWasCr) << '\n';
    out_.flush();
    progress_.textPrinted(true);
}

void ConsoleObserver::printError(const QString& line) {
    progress_.interrupt();
    bool lastWasCr = false;
    err_ << forTerminal(line, lastWasCr) << '\n';
    err_.flush();
}

QJsonObject ConsoleObserver::summary() const {
    QJsonArray messages;
    for (qsizetype i = 0; i < messages_.size(); ++i) {
        messages.append(QJsonObject{{"text", messages_.at(i)}, {"icon", icons_.at(i)}});
    }
    return {
        {"drive", QJsonObject{{"revision", drive_.revision},
                              {"model", drive_.model},
                              {"description", drive_.description}}},
        {"file",
         QJsonObject{{"revision", file_.revision}, {"model", file_.model}, {"name", file_.name}}},
        {"status", status_},
        {"messages", messages},
    };
}

}  // namespace kestrel::flash
