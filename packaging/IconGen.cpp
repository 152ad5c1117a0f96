// Writes the desktop icon: the swept wing of the window's logo (src/shell/Logo.cpp)
// without the name, which no icon size could show. One outline gives both the
// scalable SVG and the PNGs, so the two never drift apart.
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

// The logo's outline at a height of 100, as Logo.cpp draws it; the view box
// is a square around it with a little air.
const QRectF kViewBox(6, -13.5, 124, 124);
const QColor kRustLight(0xC0, 0x5A, 0x1E);
const QColor kRustDark(0x7A, 0x2E, 0x0B);
const QColor kSlate(0x2B, 0x3A, 0x4A);
const QPointF kEye(118, 14);
constexpr qreal kEyeRadius = 7;
const int kSizes[] = {16, 24, 32, 48, 64, 128, 256};

QPainterPath wing() {
    QPainterPath path;
    path.moveTo(11, 78);
    path.cubicTo(35, 20, 80, 8, 125, 12);
    path.cubicTo(85, 30, 60, 55, 55, 90);
    path.cubicTo(40, 70, 22, 70, 11, 78);
    return path;
}

QLinearGradient rust() {
    QLinearGradient gradient(0, 0, 120, 100);
    gradient.setColorAt(0, kRustLight);
    gradient.setColorAt(1, kRustDark);
    return gradient;
}

QString svgPathData(const QPainterPath& path) {
    QString d;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        const QString point = QStringLiteral("%1 %2").arg(e.x).arg(e.y);
        if (e.isMoveTo()) {
            d += QStringLiteral("M ") + point;
        } else if (e.isLineTo()) {
            d += QStringLiteral(" L ") + point;
        } else if (e.type == QPainterPath::CurveToElement) {
            d += QStringLiteral(" C ") + point;
        } else {
            d += QStringLiteral(", ") + point;
        }
    }
    return d + QStringLiteral(" Z");
}

QByteArray svg() {
    const QString text =
        QStringLiteral(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" "
            "viewBox=\"%1 %2 %3 %4\">\n"
            "  <defs>\n"
            "    <linearGradient id=\"rust\" gradientUnits=\"userSpaceOnUse\" x1=\"0\" y1=\"0\" "
            "x2=\"120\" y2=\"100\">\n"
            "      <stop offset=\"0\" stop-color=\"%5\"/>\n"
            "      <stop offset=\"1\" stop-color=\"%6\"/>\n"
            "    </linearGradient>\n"
            "  </defs>\n"
            "  <path fill=\"url(#rust)\" d=\"%7\"/>\n"
            "  <circle fill=\"%8\" cx=\"%9\" cy=\"%10\" r=\"%11\"/>\n"
            "</svg>\n")
            .arg(kViewBox.x())
            .arg(kViewBox.y())
            .arg(kViewBox.width())
            .arg(kViewBox.height())
            .arg(kRustLight.name(), kRustDark.name(), svgPathData(wing()), kSlate.name())
            .arg(kEye.x())
            .arg(kEye.y())
            .arg(kEyeRadius);
    return text.toUtf8();
}

QImage png(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / kViewBox.width(), size / kViewBox.height());
    p.translate(-kViewBox.topLeft());
    p.setPen(Qt::NoPen);
    p.setBrush(rust());
    p.drawPath(wing());
    p.setBrush(kSlate);
    p.drawEllipse(kEye, kEyeRadius, kEyeRadius);
    return image;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace

// kestrel-icon-gen OUTDIR: OUTDIR/scalable/kestrel-updater.svg and
// OUTDIR/NxN/kestrel-updater.png.
int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: kestrel-icon-gen OUTDIR\n", stderr);
        return 2;
    }
    const QDir out(QFile::decodeName(argv[1]));
    bool ok = out.mkpath(QStringLiteral("scalable")) &&
              writeFile(out.filePath(QStringLiteral("scalable/kestrel-updater.svg")), svg());
    for (int size : kSizes) {
        const QString folder = QStringLiteral("%1x%1").arg(size);
        ok = ok && out.mkpath(folder) &&
             png(size).save(out.filePath(folder + QStringLiteral("/kestrel-updater.png")), "PNG");
    }
    if (!ok) {
        std::fprintf(stderr, "kestrel-icon-gen: cannot write the icons into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
