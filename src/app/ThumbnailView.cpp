#include "app/ThumbnailView.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "app/ThumbnailModel.h"

namespace brivo {

namespace {
constexpr int kPad = 6;

// A frame with a small landscape: the tile of a picture still being read, or (crossed
// out) of one that gave nothing to draw.
void DrawPlaceholder(QPainter* p, const QRect& r, const QPalette& pal, bool broken) {
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    const QRect box = r.adjusted(r.width() / 6, r.height() / 6, -r.width() / 6, -r.height() / 6);
    QColor line = pal.color(QPalette::Mid);
    p->setPen(QPen(line, 2));
    p->setBrush(pal.color(QPalette::Base));
    p->drawRoundedRect(box, 6, 6);
    QPainterPath hills;
    hills.moveTo(box.left() + box.width() * 0.12, box.bottom() - box.height() * 0.18);
    hills.lineTo(box.left() + box.width() * 0.40, box.top() + box.height() * 0.45);
    hills.lineTo(box.left() + box.width() * 0.58, box.top() + box.height() * 0.65);
    hills.lineTo(box.left() + box.width() * 0.72, box.top() + box.height() * 0.52);
    hills.lineTo(box.right() - box.width() * 0.12, box.bottom() - box.height() * 0.18);
    hills.closeSubpath();
    p->setBrush(line.lighter(130));
    p->drawPath(hills);
    const int sun = box.width() / 8;
    p->drawEllipse(QPoint(box.left() + box.width() * 3 / 4, box.top() + box.height() / 4), sun / 2 + 2, sun / 2 + 2);
    if (broken) {
        p->setPen(QPen(QColor(190, 60, 50), 3));
        p->drawLine(box.topLeft() + QPoint(4, 4), box.bottomRight() - QPoint(4, 4));
    }
    p->restore();
}
} // namespace

TThumbnailDelegate::TThumbnailDelegate(int side, QObject* parent) : QStyledItemDelegate(parent), side_(side) {}

QSize TThumbnailDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    const int line = option.fontMetrics.height();
    return {side_ + 2 * kPad + 12, kPad + side_ + 4 + 2 * line + kPad};
}

QRect TThumbnailDelegate::PictureRect(const QRect& tile) const {
    return {tile.left() + (tile.width() - side_) / 2, tile.top() + kPad, side_, side_};
}

QRect TThumbnailDelegate::CheckRect(const QRect& tile) const {
    const QStyle* style = QApplication::style();
    const int w = style->pixelMetric(QStyle::PM_IndicatorWidth);
    const int h = style->pixelMetric(QStyle::PM_IndicatorHeight);
    const QRect pic = PictureRect(tile);
    return {pic.left() + 3, pic.top() + 3, w, h};
}

void TThumbnailDelegate::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    p->save();
    const QRect tile = option.rect;
    const QPalette& pal = option.palette;
    const bool selected = option.state & QStyle::State_Selected;
    if (selected) {
        p->setRenderHint(QPainter::Antialiasing);
        p->setPen(Qt::NoPen);
        p->setBrush(pal.color(QPalette::Highlight));
        p->drawRoundedRect(tile.adjusted(2, 2, -2, -2), 5, 5);
    }
    const QRect pic = PictureRect(tile);
    const QImage image = index.data(Qt::DecorationRole).value<QImage>();
    if (!image.isNull()) {
        const QSize sz = image.size().scaled(pic.size(), Qt::KeepAspectRatio).boundedTo(image.size());
        const QRect at(pic.left() + (pic.width() - sz.width()) / 2, pic.top() + (pic.height() - sz.height()) / 2,
                       sz.width(), sz.height());
        p->drawImage(at, image);
        p->setPen(pal.color(QPalette::Mid));
        p->setBrush(Qt::NoBrush);
        p->drawRect(at.adjusted(0, 0, -1, -1));
    } else {
        const bool broken = index.data(TThumbnailModel::ThumbnailStateRole).toString() == QStringLiteral("none");
        DrawPlaceholder(p, pic, pal, broken);
    }
    // The check box on a light patch, readable over any picture.
    const QRect check = CheckRect(tile);
    p->setPen(Qt::NoPen);
    p->setBrush(QColor(255, 255, 255, 220));
    p->drawRoundedRect(check.adjusted(-2, -2, 2, 2), 3, 3);
    QStyleOptionViewItem box(option);
    box.rect = check;
    box.state = QStyle::State_Enabled;
    box.state |= index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &box, p, widget);

    const int line = option.fontMetrics.height();
    const QRect nameRect(tile.left() + kPad, pic.bottom() + 5, tile.width() - 2 * kPad, line);
    const QRect conditionRect = nameRect.translated(0, line);
    p->setPen(pal.color(selected ? QPalette::HighlightedText : QPalette::Text));
    p->setFont(option.font);
    p->drawText(nameRect, Qt::AlignHCenter | Qt::AlignVCenter,
                option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, nameRect.width()));
    QColor dim = pal.color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText);
    p->setPen(dim);
    p->drawText(conditionRect, Qt::AlignHCenter | Qt::AlignVCenter,
                option.fontMetrics.elidedText(index.data(TThumbnailModel::ConditionRole).toString(), Qt::ElideRight,
                                              conditionRect.width()));
    p->restore();
}

bool TThumbnailDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                     const QModelIndex& index) {
    if (!(index.flags() & Qt::ItemIsUserCheckable)) return false;
    const QRect check = CheckRect(option.rect).adjusted(-2, -2, 2, 2);
    if (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::MouseButtonDblClick) {
        const auto* m = static_cast<QMouseEvent*>(event);
        if (m->button() != Qt::LeftButton || !check.contains(m->position().toPoint())) return false;
        if (event->type() == QEvent::MouseButtonDblClick) return true;  // not a second toggle
        const bool checked = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
        return model->setData(index, checked ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
    }
    return false;
}

TThumbnailView::TThumbnailView(int side, QWidget* parent)
    : QListView(parent), delegate_(new TThumbnailDelegate(side, this)) {
    setItemDelegate(delegate_);
    setViewMode(QListView::IconMode);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setResizeMode(QListView::Adjust);
    setMovement(QListView::Static);
    // Every tile the same size: the view lays out any number without measuring them.
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSpacing(4);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
}

void TThumbnailView::SetEmptyText(const QString& text) {
    emptyText_ = text;
    viewport()->update();
}

void TThumbnailView::paintEvent(QPaintEvent* e) {
    QListView::paintEvent(e);
    if (model() && model()->rowCount() == 0 && !emptyText_.isEmpty()) {
        QPainter p(viewport());
        p.setPen(palette().color(QPalette::PlaceholderText));
        p.drawText(viewport()->rect().adjusted(12, 12, -12, -12), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                   emptyText_);
    }
}

} // namespace brivo
