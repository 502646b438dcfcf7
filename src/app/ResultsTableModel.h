#pragma once
#include <QAbstractTableModel>
#include <QString>
#include <QStringList>
#include <array>
#include <vector>

#include "core/FoundFile.h"
#include "core/ScanHost.h"

namespace brivo {

// The rows of lvFiles: row i shows FFound[i] for i below the shown count. The texts are
// taken when the rows are rebuilt, so painting never reads FFound (which a scan worker
// may be writing while the list is empty). The check marks are the only state of its own.
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

    // Removes every row (one reset).
    void Clear();
    // Rows for found[0 .. shown-1] with their marks (one reset).
    void Rebuild(const TFoundFiles& found, size_t shown, const std::vector<bool>& checked, TScanHost* host);
    void SetCaptions(const QStringList& captions);

    const std::vector<bool>& Checks() const { return checks_; }
    bool IsChecked(int row) const;
    void SetChecked(int row, bool checked);
    // Sets every row's mark (one change notification).
    void SetAllChecked(bool checked);
    // Sets the marks of the given rows.
    void SetRowsChecked(const std::vector<int>& rows, bool checked);
    int CountChecked() const;

private:
    std::vector<std::array<QString, 5>> cells_;
    std::vector<bool> checks_;
    QStringList captions_;
};

} // namespace brivo
