#include "ProgressDisplay.h"

#include <algorithm>

namespace kestrel::flash {

namespace {

constexpr int kBarWidth = 30;
constexpr qint64 kRedrawMs = 100;

QString rateText(double bytesPerSecond) {
    if (bytesPerSecond >= 1024.0) {
        return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
    }
    return QStringLiteral("%1 B/s").arg(qRound(bytesPerSecond));
}

QString durationText(double seconds) {
    const qint64 whole = qRound64(seconds);
    return QStringLiteral("%1:%2").arg(whole / 60).arg(whole % 60, 2, 10, QLatin1Char('0'));
}

}  // namespace

QString progressBarText(qint64 value, qint64 maximum, double seconds) {
    const double fraction = maximum > 0 ? std::clamp(double(value) / double(maximum), 0.0, 1.0) : 0;
    const int filled = static_cast<int>(fraction * kBarWidth);
    QString text =
        QStringLiteral("[%1%2] %3%")
            .arg(QString(filled, QLatin1Char('#')), QString(kBarWidth - filled, QLatin1Char('.')))
            .arg(static_cast<int>(fraction * 100), 3);
    if (value > 0 && seconds > 0) {
        const double rate = double(value) / seconds;
        text += QStringLiteral("  %1  %2 left")
                    .arg(rateText(rate), durationText(double(maximum - value) / rate));
    }
    return text;
}

void ProgressDisplay::update(qint64 value, qint64 maximum) {
    if (value == 0) {
        if (open_ && drawn_ && terminal_) {
            out_ << '\n';
            out_.flush();
            atLineStart_ = true;
        }
        open_ = !open_;
        drawn_ = false;
        tenths_ = 0;
        last_ = 0;
        lastDrawnMs_ = -1;
        since_.start();
        return;
    }
    last_ = value;
    if (terminal_) {
        const qint64 ms = since_.elapsed();
        if (value >= maximum || lastDrawnMs_ < 0 || ms - lastDrawnMs_ >= kRedrawMs) {
            lastDrawnMs_ = ms;
            draw(value, maximum);
        }
        return;
    }
    const int tenths = maximum > 0 ? static_cast<int>(value * 10 / maximum) : 0;
    for (; tenths_ < tenths; ++tenths_) {
        out_ << QStringLiteral("progress %1%\n").arg((tenths_ + 1) * 10);
    }
    out_.flush();
}

void ProgressDisplay::draw(qint64 value, qint64 maximum) {
    if (!atLineStart_ && !drawn_) {
        out_ << '\n';
    }
    out_ << '\r' << progressBarText(value, maximum, double(since_.elapsed()) / 1000.0) << "\033[K";
    out_.flush();
    drawn_ = true;
    atLineStart_ = false;
}

void ProgressDisplay::interrupt() {
    if (terminal_ && drawn_) {
        out_ << '\n';
        out_.flush();
        drawn_ = false;
        atLineStart_ = true;
    }
}

}  // namespace kestrel::flash
