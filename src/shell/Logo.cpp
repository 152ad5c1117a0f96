#include "Logo.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace kestrel {

QPixmap drawLogo(int width, int height) {
    QPixmap pixmap(width, height);
    pixmap.fill(QColor(0xE8, 0xE8, 0xE8));
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);

    // A swept wing in two tones, the falcon's silhouette reduced to a mark.
    const qreal h = height;
    QPainterPath wing;
    wing.moveTo(6, h * 0.78);
    wing.cubicTo(h * 0.35, h * 0.20, h * 0.80, h * 0.08, h * 1.25, h * 0.12);
    wing.cubicTo(h * 0.85, h * 0.30, h * 0.60, h * 0.55, h * 0.55, h * 0.90);
    wing.cubicTo(h * 0.40, h * 0.70, h * 0.22, h * 0.70, 6, h * 0.78);
    QLinearGradient rust(0, 0, h * 1.2, h);
    rust.setColorAt(0, QColor(0xC0, 0x5A, 0x1E));
    rust.setColorAt(1, QColor(0x7A, 0x2E, 0x0B));
    p.setPen(Qt::NoPen);
    p.setBrush(rust);
    p.drawPath(wing);
    p.setBrush(QColor(0x2B, 0x3A, 0x4A));
    p.drawEllipse(QPointF(h * 1.18, h * 0.14), h * 0.07, h * 0.07);

    QFont name;
    name.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Sans Serif")});
    name.setStyleHint(QFont::SansSerif);
    name.setBold(true);
    name.setPixelSize(static_cast<int>(h * 0.42));
    p.setFont(name);
    p.setPen(QColor(0x2B, 0x3A, 0x4A));
    const QRectF textArea(h * 1.35, 0, width - h * 1.35, h * 0.62);
    p.drawText(textArea, Qt::AlignLeft | Qt::AlignBottom, QStringLiteral("KESTREL"));

    QFont tag = name;
    tag.setBold(false);
    tag.setPixelSize(static_cast<int>(h * 0.2));
    tag.setLetterSpacing(QFont::PercentageSpacing, 108);
    p.setFont(tag);
    p.setPen(QColor(0xC0, 0x5A, 0x1E));
    p.drawText(QRectF(h * 1.38, h * 0.62, width - h * 1.38, h * 0.36), Qt::AlignLeft | Qt::AlignTop,
               QStringLiteral("PRO FIRMWARE"));
    return pixmap;
}

}  // namespace kestrel
