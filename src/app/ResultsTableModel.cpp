#include "app/ResultsTableModel.h"

#include "results/ResultsModel.h"

namespace brivo {

TResultsTableModel::TResultsTableModel(QObject* parent) : QAbstractTableModel(parent) {
    for (const char* c : kResultColumnCaptions) captions_ << QString::fromUtf8(c);
}

int TResultsTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(cells_.size());
}

int TResultsTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kResultColumnCount;
}

QVariant TResultsTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= kResultColumnCount) return {};
    const size_t row = static_cast<size_t>(index.row());
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) return cells_[row][index.column()];
    if (role == Qt::CheckStateRole && index.column() == 0)
        return checks_[row] ? Qt::Checked : Qt::Unchecked;
    if (role == Qt::TextAlignmentRole && index.column() == rcSize)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

bool TResultsTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || index.column() != 0 || index.row() >= rowCount())
        return false;
    SetChecked(index.row(), value.toInt() == Qt::Checked);
    return true;
}

Qt::ItemFlags TResultsTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant TResultsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < captions_.size())
        return captions_[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

void TResultsTableModel::Clear() {
    beginResetModel();
    cells_.clear();
    checks_.clear();
    endResetModel();
}

void TResultsTableModel::Rebuild(const TFoundFiles& found, size_t shown, const std::vector<bool>& checked,
                                 TScanHost* host) {
    beginResetModel();
    shown = std::min(shown, found.size());
    cells_.assign(shown, {});
    checks_.assign(shown, false);
    for (size_t i = 0; i < shown; ++i) {
        for (int c = 0; c < kResultColumnCount; ++c)
            cells_[i][c] = QString::fromStdString(ResultCellText(found[i], c, host));
        checks_[i] = i < checked.size() && checked[i];
    }
    endResetModel();
}

void TResultsTableModel::SetCaptions(const QStringList& captions) {
    captions_ = captions;
    emit headerDataChanged(Qt::Horizontal, 0, kResultColumnCount - 1);
}

bool TResultsTableModel::IsChecked(int row) const {
    return row >= 0 && static_cast<size_t>(row) < checks_.size() && checks_[row];
}

void TResultsTableModel::SetChecked(int row, bool checked) {
    if (row < 0 || static_cast<size_t>(row) >= checks_.size() || checks_[row] == checked) return;
    checks_[row] = checked;
    const QModelIndex i = index(row, 0);
    emit dataChanged(i, i, {Qt::CheckStateRole});
}

void TResultsTableModel::SetAllChecked(bool checked) {
    if (checks_.empty()) return;
    checks_.assign(checks_.size(), checked);
    emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
}

void TResultsTableModel::SetRowsChecked(const std::vector<int>& rows, bool checked) {
    if (rows.empty()) return;
    int lo = rowCount(), hi = -1;
    for (int r : rows) {
        if (r < 0 || r >= rowCount()) continue;
        checks_[r] = checked;
        lo = std::min(lo, r);
        hi = std::max(hi, r);
    }
    if (hi >= lo) emit dataChanged(index(lo, 0), index(hi, 0), {Qt::CheckStateRole});
}

int TResultsTableModel::CountChecked() const { return brivo::CountChecked(checks_); }

} // namespace brivo
