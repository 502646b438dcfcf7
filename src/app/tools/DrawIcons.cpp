// Paints the window's 48x48 icons as PNG files. Run by hand:
//   brivo-draw-icons <output folder>
// The PNGs it writes are committed under src/app/resources/icons.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <cmath>
#include <functional>

namespace {

constexpr int kSize = 48;
const QColor kTeal(0x1f, 0x7a, 0x8c);
const QColor kDark(0x23, 0x3d, 0x4d);
const QColor kGreen(0x2e, 0x9e, 0x4f);
const QColor kRed(0xc8, 0x32, 0x32);
const QColor kPaper(0xfa, 0xfc, 0xfd);

void Save(const QString& dir, const QString& name, const std::function<void(QPainter&)>& draw) {
    QImage img(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    p.end();
    img.save(QDir(dir).filePath(name + ".png"));
}

void DrawDisk(QPainter& p, QRectF r) {
    p.setPen(QPen(kDark, 2));
    p.setBrush(QColor(0xd5, 0xdf, 0xe6));
    p.drawRoundedRect(r, 5, 5);
    p.setBrush(kDark);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(r.right() - 8, r.bottom() - 7), 2.5, 2.5);
    p.setPen(QPen(kDark, 1.5));
    p.drawLine(QPointF(r.left() + 6, r.bottom() - 7), QPointF(r.right() - 16, r.bottom() - 7));
}

void DrawCheckBox(QPainter& p, QRectF r, bool checked) {
    p.setPen(QPen(kDark, 2.5));
    p.setBrush(kPaper);
    p.drawRoundedRect(r, 4, 4);
    if (!checked) return;
    QPainterPath tick;
    tick.moveTo(r.left() + r.width() * 0.2, r.top() + r.height() * 0.52);
    tick.lineTo(r.left() + r.width() * 0.42, r.top() + r.height() * 0.75);
    tick.lineTo(r.left() + r.width() * 0.82, r.top() + r.height() * 0.25);
    p.setPen(QPen(kGreen, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
}

void DrawArrowDown(QPainter& p, QPointF top, double len, QColor c) {
    QPainterPath a;
    a.moveTo(top.x() - 5, top.y());
    a.lineTo(top.x() + 5, top.y());
    a.lineTo(top.x() + 5, top.y() + len - 10);
    a.lineTo(top.x() + 11, top.y() + len - 10);
    a.lineTo(top.x(), top.y() + len);
    a.lineTo(top.x() - 11, top.y() + len - 10);
    a.lineTo(top.x() - 5, top.y() + len - 10);
    a.closeSubpath();
    p.setPen(QPen(c.darker(130), 1.5));
    p.setBrush(c);
    p.drawPath(a);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");

    Save(dir, "scan", [](QPainter& p) {
        DrawDisk(p, QRectF(3, 22, 30, 20));
        p.setPen(QPen(kTeal, 4));
        p.setBrush(QColor(255, 255, 255, 170));
        p.drawEllipse(QPointF(29, 17), 11, 11);
        p.setPen(QPen(kDark, 6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(37, 25), QPointF(44, 32) + QPointF(1, 11));
    });
    Save(dir, "stop", [](QPainter& p) {
        QPolygonF oct;
        for (int i = 0; i < 8; ++i) {
            const double a = (22.5 + 45.0 * i) * M_PI / 180.0;
            oct << QPointF(24 + 20 * std::cos(a), 24 + 20 * std::sin(a));
        }
        p.setPen(QPen(kRed.darker(140), 2));
        p.setBrush(kRed);
        p.drawPolygon(oct);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(15, 15, 18, 18), 2, 2);
    });
    Save(dir, "check-all", [](QPainter& p) {
        DrawCheckBox(p, QRectF(13, 3, 30, 30), true);
        DrawCheckBox(p, QRectF(4, 14, 30, 30), true);
    });
    Save(dir, "uncheck-all", [](QPainter& p) {
        DrawCheckBox(p, QRectF(13, 3, 30, 30), false);
        DrawCheckBox(p, QRectF(4, 14, 30, 30), false);
    });
    Save(dir, "recover", [](QPainter& p) {
        // A folder receiving a file.
        QPainterPath folder;
        folder.moveTo(3, 20);
        folder.lineTo(3, 44);
        folder.lineTo(45, 44);
        folder.lineTo(45, 22);
        folder.lineTo(22, 22);
        folder.lineTo(18, 17);
        folder.lineTo(5, 17);
        folder.closeSubpath();
        p.setPen(QPen(QColor(0xa0, 0x78, 0x20), 2));
        p.setBrush(QColor(0xf2, 0xc1, 0x4e));
        p.drawPath(folder);
        DrawArrowDown(p, QPointF(29, 2), 30, kGreen);
    });
    Save(dir, "web", [](QPainter& p) {
        p.setPen(QPen(kTeal.darker(130), 2.5));
        p.setBrush(QColor(0xd8, 0xee, 0xf3));
        p.drawEllipse(QPointF(24, 24), 20, 20);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(kTeal.darker(130), 2));
        p.drawEllipse(QPointF(24, 24), 9, 20);
        p.drawLine(QPointF(24, 4), QPointF(24, 44));
        p.drawLine(QPointF(4, 24), QPointF(44, 24));
        p.drawLine(QPointF(8, 14), QPointF(40, 14));
        p.drawLine(QPointF(8, 34), QPointF(40, 34));
    });
    Save(dir, "about", [](QPainter& p) {
        p.setPen(QPen(kTeal.darker(140), 2));
        p.setBrush(kTeal);
        p.drawEllipse(QPointF(24, 24), 21, 21);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(24, 13.5), 3.5, 3.5);
        p.drawRoundedRect(QRectF(20.5, 20, 7, 18), 2, 2);
    });
    Save(dir, "update", [](QPainter& p) {
        p.setPen(QPen(kGreen, 6, Qt::SolidLine, Qt::FlatCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(7, 7, 34, 34), 60 * 16, 280 * 16);
        QPolygonF head;
        head << QPointF(26, 2) << QPointF(40, 9) << QPointF(27, 17);
        p.setPen(Qt::NoPen);
        p.setBrush(kGreen);
        p.drawPolygon(head);
        DrawArrowDown(p, QPointF(24, 14), 20, kTeal);
    });
    Save(dir, "brivo-file-recovery", [](QPainter& p) {
        DrawDisk(p, QRectF(2, 24, 44, 22));
        DrawArrowDown(p, QPointF(24, 0), 26, kGreen);
    });
    return 0;
}
