#pragma once
#include <QListView>
#include <QString>
#include <QStyledItemDelegate>

namespace brivo {

// Draws a tile of the picture grid: the thumbnail (or a placeholder while it is made or
// when nothing could be drawn), its check box in the corner, the name and the condition.
class TThumbnailDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit TThumbnailDelegate(int side, QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The check box of the tile drawn in rect.
    QRect CheckRect(const QRect& tile) const;
    QRect PictureRect(const QRect& tile) const;

protected:
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

private:
    int side_;
};

// The grid of tiles; says so when the shown results hold no picture.
class TThumbnailView : public QListView {
    Q_OBJECT
public:
    TThumbnailView(int side, QWidget* parent = nullptr);
    void SetEmptyText(const QString& text);
    TThumbnailDelegate* Delegate() const { return delegate_; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    TThumbnailDelegate* delegate_;
    QString emptyText_;
};

} // namespace brivo
