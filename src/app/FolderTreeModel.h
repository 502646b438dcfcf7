#pragma once
#include <QAbstractItemModel>
#include <QString>
#include <memory>
#include <vector>

#include "results/FolderTree.h"

namespace brivo {

// The folder tree beside the results list: one item per folder of a TFolderTree, the root
// ("All folders") on top. Each item shows its name and how many results lie in it and
// below, marks deleted and lost folders, and carries a check box that says whether the
// results under it are marked (all, some, none). Checking an item does not change any mark
// here: it asks, through folderCheckRequested, for the results to be marked, and the
// counts follow when ChecksChanged is called.
class TFolderTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit TFolderTreeModel(QObject* parent = nullptr);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Shows tree (nothing when null); checks are the marks of its results and must outlive
    // the next SetTree/ChecksChanged.
    void SetTree(std::shared_ptr<const TFolderTree> tree, const std::vector<bool>* checks);
    const TFolderTree* Tree() const { return tree_.get(); }
    // The marks changed: the check boxes are counted again when next painted.
    void ChecksChanged() { countsStale_ = true; }
    // The folder an index shows; kNoFolder for an invalid one.
    uint32_t FolderAt(const QModelIndex& index) const;
    QModelIndex IndexOf(uint32_t folder) const;
    // Texts shown: the root's caption and the hints of deleted and lost folders.
    void SetTexts(const QString& root, const QString& deleted, const QString& lost);

signals:
    void folderCheckRequested(uint32_t folder, bool checked);

private:
    std::shared_ptr<const TFolderTree> tree_;
    const std::vector<bool>* checks_ = nullptr;
    mutable std::vector<uint64_t> checked_;
    mutable bool countsStale_ = true;
    QString rootText_ = QStringLiteral("All folders");
    QString deletedText_ = QStringLiteral("Deleted folder");
    QString lostText_ = QStringLiteral("Lost folder: where it stood is unknown");
};

} // namespace brivo
