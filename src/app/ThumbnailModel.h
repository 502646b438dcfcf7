#pragma once
#include <QAbstractListModel>
#include <QCache>
#include <QHash>
#include <QImage>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/FoundFile.h"
#include "results/Preview.h"

namespace brivo {

class TResultsTableModel;
class TThumbnailLoader;

// The pictures among the rows of the results list, as tiles of a grid: same filter, same
// order, same check marks (a tile's mark is its row's, set through the list's model).
// Holds only the list rows of its tiles; a tile's thumbnail is asked for when the view
// first wants to draw it (so the tiles on screen come first), made on a worker and kept
// in a bounded cache.
class TThumbnailModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum TRole {
        ConditionRole = Qt::UserRole + 1,  // the Condition cell as the list shows it
        ThumbnailStateRole,                // "loading", "picture" or "none" (nothing to draw)
    };

    TThumbnailModel(TResultsTableModel* table, int side, QObject* parent = nullptr);
    ~TThumbnailModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Where thumbnails are read from: the extractor factory of the shown results (empty
    // when there is none).
    void SetExtractorSource(std::function<TPreviewLoader::MakeExtractor()> source);
    // Only an active model lists tiles and reads: a hidden grid costs nothing.
    void SetActive(bool active);
    bool Active() const { return active_; }
    // While a scan or a recovery runs nothing is read: what waits is dropped, and the
    // tiles on screen ask again afterwards.
    void SetPaused(bool paused);
    // The results were replaced: thumbnails made of the old ones no longer belong.
    void Forget();
    // Stops the worker and waits for it (closing).
    void Shutdown();

    int TableRow(int tile) const;
    // The tile of a list row; -1 when the row is not a picture's.
    int Tile(int tableRow) const;
    int ThumbnailSide() const { return side_; }
    // Whether a result's name is a picture's that Qt can decode here.
    static bool IsPictureName(const std::string& fullPath);

private:
    void Rebuild();
    void SourceDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QList<int>& roles);
    QString KeyOf(int tile) const;
    // Asks the worker for a tile's thumbnail unless it is made, known to give none, or asked.
    void Want(int tile, const QString& key) const;
    void Arrived(uint64_t epoch, const QString& key, const QImage& image);
    void CancelReads();

    TResultsTableModel* table_;
    int side_;
    bool active_ = false;
    bool paused_ = false;
    std::vector<int> rows_;  // list row of each tile, ascending
    std::function<TPreviewLoader::MakeExtractor()> source_;
    uint64_t sourceId_ = 1;
    mutable std::unique_ptr<TThumbnailLoader> loader_;
    mutable QCache<QString, QImage> cache_;
    mutable QSet<QString> none_;              // read, gave no picture
    mutable QHash<QString, int> asked_;       // key -> tile it was asked for
};

} // namespace brivo
