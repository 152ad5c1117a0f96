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
        const ushort u = c.unicode();
        if (lastWasCr) {
            out += QLatin1Char('\n');
        } else if ((u < 0x20 && u != '\n' && u != '\t') || (u >= 0x7F && u <= 0xFF)) {
            // A terminal would act on it, or show it as something else.
            out += QStringLiteral("<%1>").arg(u, 2, 16, QLatin1Char('0')).toUpper();
        } else {
            out += c;
        }
    }
    return out;
}

void ConsoleObserver::statusAppended(const QString& text) {
    status_ += text;
    if (verbosity_ == Verbosity::Quiet) {
        return;
    }
    endRepeats();
    progress_.interrupt();
    const QString shown = forTerminal(text, statusLastWasCr_);
    out_ << shown;
    out_.flush();
    if (!shown.isEmpty()) {
        progress_.textPrinted(shown.endsWith(QLatin1Char('\n')));
    }
}

void ConsoleObserver::progressChanged(qint64 value, qint64 maximum) {
    if (verbosity_ != Verbosity::Quiet) {
        progress_.update(value, maximum);
    }
}

void ConsoleObserver::showMessage(const QString& text, MessageIcon icon) {
    messages_ << text;
    icons_ << iconName(icon);
    if (held_) {
        return;
    }
    if (text == lastMessage_) {
        ++repeats_;
        return;
    }
    printError(text);
    lastMessage_ = text;
}

void ConsoleObserver::endRepeats() {
    if (repeats_ > 0) {
        err_ << QStringLiteral("(the same message %1 times in all)\n").arg(repeats_ + 1);
        err_.flush();
    }
    repeats_ = 0;
    lastMessage_.clear();
}

void ConsoleObserver::sessionEnded() {
    endRepeats();
    ended_ = true;
}

void ConsoleObserver::traced(const QString& line) {
    if (verbosity_ != Verbosity::Verbose) {
        return;
    }
    endRepeats();
    progress_.interrupt();
    QString shown = line;
    shown.replace(QLatin1Char('\r'), QLatin1String("<0D>"))
        .replace(QLatin1Char('\n'), QLatin1String("<0A>"));
    bool lastWasCr = false;
    err_ << QStringLiteral("[%1 s] ").arg(double(since_.elapsed()) / 1000.0, 8, 'f', 3)
         << forTerminal(shown, lastWasCr) << '\n';
    err_.flush();
}

void ConsoleObserver::printResult(const QString& line) {
    endRepeats();
    progress_.interrupt();
    bool lastWasCr = false;
    out_ << forTerminal(line, lastWasCr) << '\n';
    out_.flush();
    progress_.textPrinted(true);
}

void ConsoleObserver::printError(const QString& line) {
    endRepeats();
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
