#include "app/ResultsTableModel.h"

#include "results/ResultsModel.h"

namespace brivo {

TResultsTableModel::TResultsTableModel(QObject* parent) : QAbstractTableModel(parent) {
    for (const char* c : kResultColumnCaptions) captions_ << QString::fromUtf8(c);
}

int TResultsTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TResultsTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kResultColumnCount;
}

long long TResultsTableModel::ResultIndex(int row) const {
    if (row < 0 || static_cast<size_t>(row) >= rows_.size()) return -1;
    return static_cast<long long>(rows_[row]);
}

const TFoundFile* TResultsTableModel::Result(int row) const {
    const long long i = ResultIndex(row);
    if (i < 0 || !found_ || static_cast<size_t>(i) >= found_->size()) return nullptr;
    return &(*found_)[static_cast<size_t>(i)];
}

QVariant TResultsTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.column() >= kResultColumnCount) return {};
    const long long i = ResultIndex(index.row());
    if (i < 0 || !found_ || static_cast<size_t>(i) >= found_->size()) return {};
    const TFoundFile& f = (*found_)[static_cast<size_t>(i)];
    // The list's five columns stay as they are: a creation time, where the file system
    // kept one, shows in the Modified cell's tip.
    if (role == Qt::ToolTipRole && index.column() == rcModified && f.HasCreateDate) {
        const std::string created = host_ ? host_->Translate("Created") : std::string("Created");
        std::string tip = ResultCellText(f, rcModified, host_);
        if (!tip.empty()) tip += "\n";
        return QString::fromStdString(tip + created + ": " + CreatedCellText(f));
    }
    // A name without content: its tip names the finds beside it and how to reach them.
    if (role == Qt::ToolTipRole && index.column() == rcCondition && !f.Candidates.empty()) {
        std::string tip = ResultCellText(f, rcCondition, host_);
        constexpr size_t kShown = 10;
        for (size_t c = 0; c < f.Candidates.size() && c < kShown; ++c) tip += "\n" + ResultDisplayPath(f.Candidates[c]);
        if (f.Candidates.size() > kShown) tip += "\n\u2026";
        tip += "\n" + (host_ ? host_->Translate("Double-click to select them.") : std::string("Double-click to select them."));
        return QString::fromStdString(tip);
    }
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return QString::fromStdString(ResultCellText(f, index.column(), host_));
    if (role == Qt::CheckStateRole && index.column() == 0) return checks_[i] ? Qt::Checked : Qt::Unchecked;
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
    found_ = nullptr;
    tree_.reset();
    folder_ = 0;
    rows_.clear();
    checks_.clear();
    checkedCount_ = 0;
    endResetModel();
    emit checksChanged();
}

void TResultsTableModel::Attach(const TFoundFiles& found, std::vector<bool> checked, TScanHost* host) {
    beginResetModel();
    found_ = &found;
    host_ = host;
    checks_ = std::move(checked);
    checks_.resize(found.size(), false);
    checkedCount_ = brivo::CountChecked(checks_);
    RebuildRows();
    endResetModel();
    emit checksChanged();
}

void TResultsTableModel::RebuildRows() {
    rows_ = found_ ? FilterResults(*found_, PrepareResultFilter(filterText_.toStdString())) : std::vector<size_t>{};
    if (found_ && tree_ && folder_ != 0 && folder_ < tree_->NodeCount() && tree_->ResultCount() == found_->size())
        std::erase_if(rows_, [this](size_t i) { return !tree_->Contains(folder_, i); });
}

void TResultsTableModel::SetFolderFilter(std::shared_ptr<const TFolderTree> tree, uint32_t folder) {
    if (!tree || folder == kNoFolder) folder = 0;
    // The root keeps every row: a tree that arrives (or goes) changes nothing shown, and
    // the list keeps its current row and selection.
    if (folder == 0 && folder_ == 0) {
        tree_ = std::move(tree);
        return;
    }
    if (tree == tree_ && folder == folder_) return;
    beginResetModel();
    tree_ = std::move(tree);
    folder_ = folder;
    RebuildRows();
    endResetModel();
}

void TResultsTableModel::SetFolderChecked(const TFolderTree& tree, uint32_t folder, bool checked) {
    if (!found_ || tree.ResultCount() != checks_.size() || folder >= tree.NodeCount()) return;
    // The name filter holds here too: a folder's box marks what the list would show of it,
    // never rows the user filtered away and cannot see.
    const std::string prepared = PrepareResultFilter(filterText_.toStdString());
    for (size_t i = 0; i < checks_.size(); ++i) {
        if (checks_[i] == checked || !tree.Contains(folder, i)) continue;
        if (!prepared.empty() && !ResultMatchesFilter((*found_)[i], prepared)) continue;
        checks_[i] = checked;
        checkedCount_ += checked ? 1 : -1;
    }
    if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
    emit checksChanged();
}

void TResultsTableModel::SetFilterText(const QString& text) {
    if (text == filterText_) return;
    beginResetModel();
    filterText_ = text;
    RebuildRows();
    endResetModel();
}

void TResultsTableModel::SetCaptions(const QStringList& captions) {
    captions_ = captions;
    emit headerDataChanged(Qt::Horizontal, 0, kResultColumnCount - 1);
}

void TResultsTableModel::RefreshTexts() {
    if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, kResultColumnCount - 1));
}

bool TResultsTableModel::IsChecked(int row) const {
    const long long i = ResultIndex(row);
    return i >= 0 && checks_[i];
}

void TResultsTableModel::SetChecked(int row, bool checked) {
    const long long i = ResultIndex(row);
    if (i < 0 || checks_[i] == checked) return;
    checks_[i] = checked;
    checkedCount_ += checked ? 1 : -1;
    const QModelIndex at = index(row, 0);
    emit dataChanged(at, at, {Qt::CheckStateRole});
    emit checksChanged();
}

void TResultsTableModel::SetAllChecked(bool checked) {
    if (rows_.empty()) return;
    if (rows_.size() == checks_.size()) {
        checks_.assign(checks_.size(), checked);
        checkedCount_ = checked ? static_cast<int>(checks_.size()) : 0;
    } else {
        for (size_t i : rows_) {
            if (checks_[i] != checked) checkedCount_ += checked ? 1 : -1;
            checks_[i] = checked;
        }
    }
    emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
    emit checksChanged();
}

void TResultsTableModel::SetRowsChecked(const std::vector<int>& rows, bool checked) {
    int lo = rowCount(), hi = -1;
    for (int r : rows) {
        const long long i = ResultIndex(r);
        if (i < 0) continue;
        if (checks_[i] != checked) checkedCount_ += checked ? 1 : -1;
        checks_[i] = checked;
        lo = std::min(lo, r);
        hi = std::max(hi, r);
    }
    if (hi < lo) return;
    emit dataChanged(index(lo, 0), index(hi, 0), {Qt::CheckStateRole});
    emit checksChanged();
}

void TResultsTableModel::ToggleRows(const std::vector<int>& rows) {
    bool allChecked = true;
    for (int r : rows)
        if (ResultIndex(r) >= 0 && !IsChecked(r)) allChecked = false;
    SetRowsChecked(rows, !allChecked);
}

int TResultsTableModel::CountChecked() const { return checkedCount_; }

} // namespace brivo
