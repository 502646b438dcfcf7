#include "app/FolderTreeModel.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QStyle>

namespace brivo {

TFolderTreeModel::TFolderTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

QModelIndex TFolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (!tree_ || tree_->Empty() || column != 0 || row < 0) return {};
    if (!parent.isValid()) return row == 0 ? createIndex(0, 0, quintptr(0)) : QModelIndex();
    const uint32_t child = tree_->Child(FolderAt(parent), static_cast<uint32_t>(row));
    return child == kNoFolder ? QModelIndex() : createIndex(row, 0, quintptr(child));
}

QModelIndex TFolderTreeModel::parent(const QModelIndex& child) const {
    const uint32_t id = FolderAt(child);
    if (id == kNoFolder || id == 0) return {};
    return IndexOf(tree_->Node(id).Parent);
}

int TFolderTreeModel::rowCount(const QModelIndex& parent) const {
    if (!tree_ || tree_->Empty()) return 0;
    if (!parent.isValid()) return 1;
    const uint32_t id = FolderAt(parent);
    return id == kNoFolder ? 0 : static_cast<int>(tree_->Node(id).ChildCount);
}

int TFolderTreeModel::columnCount(const QModelIndex&) const { return 1; }

uint32_t TFolderTreeModel::FolderAt(const QModelIndex& index) const {
    if (!index.isValid() || !tree_ || index.model() != this) return kNoFolder;
    const auto id = static_cast<uint32_t>(index.internalId());
    return id < tree_->NodeCount() ? id : kNoFolder;
}

QModelIndex TFolderTreeModel::IndexOf(uint32_t folder) const {
    if (!tree_ || folder >= tree_->NodeCount()) return {};
    return createIndex(folder == 0 ? 0 : static_cast<int>(tree_->Node(folder).Row), 0, quintptr(folder));
}

QVariant TFolderTreeModel::data(const QModelIndex& index, int role) const {
    const uint32_t id = FolderAt(index);
    if (id == kNoFolder) return {};
    const TFolderNode& n = tree_->Node(id);
    switch (role) {
        case Qt::DisplayRole: {
            const QString name = id == 0 ? rootText_ : QString::fromStdString(n.Name);
            return QStringLiteral("%1 (%2)").arg(name).arg(n.Total);
        }
        case Qt::ToolTipRole: {
            QString tip = QString::fromStdString(tree_->PathOf(id));
            if (n.Deleted) tip += QStringLiteral("\n") + deletedText_;
            if (n.Lost) tip += QStringLiteral("\n") + lostText_;
            return tip;
        }
        case Qt::DecorationRole:
            return QApplication::style()->standardIcon(QStyle::SP_DirIcon);
        case Qt::ForegroundRole:
            // Everything under the lost-files folder is gone, so grey says more there.
            if (n.Lost) return QBrush(QColor(110, 110, 110));
            if (n.Deleted) return QBrush(QColor(170, 30, 30));
            return {};
        case Qt::FontRole:
            if (n.Lost) {
                QFont f;
                f.setItalic(true);
                return f;
            }
            return {};
        case Qt::CheckStateRole: {
            if (countsStale_) {
                checked_ = checks_ ? tree_->CheckedPerFolder(*checks_) : std::vector<uint64_t>(tree_->NodeCount(), 0);
                countsStale_ = false;
            }
            const uint64_t c = id < checked_.size() ? checked_[id] : 0;
            if (c == 0) return Qt::Unchecked;
            return c >= n.Total ? Qt::Checked : Qt::PartiallyChecked;
        }
        default: return {};
    }
}

bool TFolderTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const uint32_t id = FolderAt(index);
    if (role != Qt::CheckStateRole || id == kNoFolder) return false;
    // A partly marked folder becomes fully marked on a click, as a click on an unmarked one.
    emit folderCheckRequested(id, value.toInt() != Qt::Unchecked);
    return true;
}

Qt::ItemFlags TFolderTreeModel::flags(const QModelIndex& index) const {
    if (FolderAt(index) == kNoFolder) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

void TFolderTreeModel::SetTree(std::shared_ptr<const TFolderTree> tree, const std::vector<bool>* checks) {
    beginResetModel();
    tree_ = std::move(tree);
    checks_ = checks;
    checked_.clear();
    countsStale_ = true;
    endResetModel();
}

void TFolderTreeModel::SetTexts(const QString& root, const QString& deleted, const QString& lost) {
    rootText_ = root;
    deletedText_ = deleted;
    lostText_ = lost;
    if (tree_ && !tree_->Empty()) emit dataChanged(IndexOf(0), IndexOf(0));
}

} // namespace brivo
