#pragma once
#include <QAbstractTableModel>
#include <QString>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "core/FoundFile.h"
#include "core/ScanHost.h"
#include "results/FolderTree.h"

namespace brivo {

// The rows of lvFiles over the scan state's FFound, never copied: a row holds only the
// index of the result it shows, and its cell texts are made when the view asks for them
// (only rows on screen are asked). Every result has a row unless the name filter leaves
// it out. The check marks are kept per result, so they survive sorting and filtering.
//
// FFound is read only between Attach and the next Clear: the window clears the list
// before a scan's worker starts writing FFound and attaches it again when the results
// arrive, so painting never reads a vector the worker is filling.
class TResultsTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TResultsTableModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Removes every row and lets go of the results (one reset).
    void Clear();
    // Shows found (already in list order) with one mark per result; the filter stays.
    void Attach(const TFoundFiles& found, std::vector<bool> checked, TScanHost* host);
    // Keeps only the results whose folder and name contain text (ASCII case ignored).
    void SetFilterText(const QString& text);
    QString FilterText() const { return filterText_; }
    // Keeps only the results in folder and below it (together with the name filter); the
    // root, kNoFolder or no tree keep every folder. The tree must be the shown results'.
    void SetFolderFilter(std::shared_ptr<const TFolderTree> tree, uint32_t folder);
    uint32_t FolderFilter() const { return folder_; }
    // Sets the mark of every result in folder and below it that the name filter keeps.
    void SetFolderChecked(const TFolderTree& tree, uint32_t folder, bool checked);
    void SetCaptions(const QStringList& captions);
    // Cell texts are made on demand: after a language change, ask the view to repaint.
    void RefreshTexts();

    // Marks of every result (index = FFound index), whether or not its row is shown.
    const std::vector<bool>& Checks() const { return checks_; }
    // FFound index of a row; -1 outside the rows.
    long long ResultIndex(int row) const;
    // The result a row shows; null outside the rows. Valid until the next reset.
    const TFoundFile* Result(int row) const;
    size_t ShownCount() const { return rows_.size(); }
    size_t TotalCount() const { return found_ ? found_->size() : 0; }
    bool IsChecked(int row) const;
    void SetChecked(int row, bool checked);
    // Sets the mark of every shown row (all results when no filter is set).
    void SetAllChecked(bool checked);
    // Sets the marks of the given rows.
    void SetRowsChecked(const std::vector<int>& rows, bool checked);
    // Flips each given row's mark; when any of them is unmarked all become marked.
    void ToggleRows(const std::vector<int>& rows);
    int CountChecked() const;

signals:
    void checksChanged();

private:
    void RebuildRows();

    const TFoundFiles* found_ = nullptr;
    TScanHost* host_ = nullptr;
    std::vector<size_t> rows_;  // FFound index of each shown row
    std::vector<bool> checks_;  // per FFound index
    int checkedCount_ = 0;
    QString filterText_;
    std::shared_ptr<const TFolderTree> tree_;
    uint32_t folder_ = 0;
    QStringList captions_;
};

} // namespace brivo
