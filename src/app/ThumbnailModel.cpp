#include "app/ThumbnailModel.h"

#include <QImageReader>
#include <QPointer>

#include <algorithm>
#include <string_view>

#include "app/ResultsTableModel.h"
#include "app/ThumbnailLoader.h"
#include "core/Text.h"
#include "results/ResultsModel.h"

namespace brivo {

namespace {
// Thumbnails kept, in KiB of pixels: some hundreds of tiles, scrolled back to at once.
constexpr int kCacheKiB = 64 * 1024;
// Results known to give no picture; forgotten (and read again when shown) past this many.
constexpr qsizetype kMaxNone = 100000;

// Picture name endings and the Qt image format that reads them.
struct TPictureExt {
    const char* Ext;
    const char* Format;
};
constexpr TPictureExt kPictureExts[] = {
    {"jpg", "jpeg"}, {"jpeg", "jpeg"}, {"jpe", "jpeg"}, {"jfif", "jpeg"}, {"png", "png"},   {"gif", "gif"},
    {"bmp", "bmp"},  {"dib", "bmp"},   {"tif", "tiff"}, {"tiff", "tiff"}, {"webp", "webp"}, {"heic", "heic"},
    {"heif", "heif"},
};

// The endings whose format this Qt can decode (its plugins decide TIFF, WebP, HEIC).
const std::vector<std::string>& DecodableExts() {
    static const std::vector<std::string> exts = [] {
        const QList<QByteArray> formats = QImageReader::supportedImageFormats();
        std::vector<std::string> v;
        for (const TPictureExt& p : kPictureExts)
            if (formats.contains(QByteArray(p.Format))) v.emplace_back(p.Ext);
        return v;
    }();
    return exts;
}
} // namespace

bool TThumbnailModel::IsPictureName(const std::string& fullPath) {
    // Run over every listed result when the grid is built: the ending is read in place,
    // where ResultFileName would cut the name (blanks and control characters at the end
    // do not count; "/", "\\" and ":" end a folder).
    std::string_view path(fullPath);
    while (!path.empty() && static_cast<unsigned char>(path.back()) <= ' ') path.remove_suffix(1);
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || path.find_first_of("/\\:", dot) != std::string_view::npos) return false;
    const std::string_view ext = path.substr(dot + 1);
    if (ext.empty() || ext.size() > 5) return false;
    char lower[6] = {};
    for (size_t i = 0; i < ext.size(); ++i)
        lower[i] = ext[i] >= 'A' && ext[i] <= 'Z' ? static_cast<char>(ext[i] - 'A' + 'a') : ext[i];
    const std::string_view want(lower, ext.size());
    for (const std::string& e : DecodableExts())
        if (e == want) return true;
    return false;
}

TThumbnailModel::TThumbnailModel(TResultsTableModel* table, int side, QObject* parent)
    : QAbstractListModel(parent), table_(table), side_(side) {
    cache_.setMaxCost(kCacheKiB);
    connect(table_, &QAbstractItemModel::modelReset, this, [this] {
        beginResetModel();
        Rebuild();
        endResetModel();
    });
    connect(table_, &QAbstractItemModel::dataChanged, this, &TThumbnailModel::SourceDataChanged);
}

TThumbnailModel::~TThumbnailModel() { Shutdown(); }

void TThumbnailModel::Shutdown() {
    loader_.reset();
    asked_.clear();
}

int TThumbnailModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TThumbnailModel::TableRow(int tile) const {
    return tile >= 0 && static_cast<size_t>(tile) < rows_.size() ? rows_[static_cast<size_t>(tile)] : -1;
}

int TThumbnailModel::Tile(int tableRow) const {
    const auto it = std::lower_bound(rows_.begin(), rows_.end(), tableRow);
    return it != rows_.end() && *it == tableRow ? static_cast<int>(it - rows_.begin()) : -1;
}

void TThumbnailModel::Rebuild() {
    rows_.clear();
    if (!active_) return;
    const int n = table_->rowCount();
    for (int r = 0; r < n; ++r)
        if (const TFoundFile* f = table_->Result(r); f && !f->IsDir && IsPictureName(f->FullPath)) rows_.push_back(r);
}

void TThumbnailModel::SourceDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                                        const QList<int>& roles) {
    if (rows_.empty() || !topLeft.isValid() || !bottomRight.isValid()) return;
    const auto first = std::lower_bound(rows_.begin(), rows_.end(), topLeft.row());
    const auto last = std::upper_bound(rows_.begin(), rows_.end(), bottomRight.row());
    if (first >= last) return;
    QList<int> ours;
    if (roles.isEmpty() || roles.contains(Qt::CheckStateRole)) ours << Qt::CheckStateRole;
    if (roles.isEmpty() || roles.contains(Qt::DisplayRole)) ours << Qt::DisplayRole << Qt::ToolTipRole << ConditionRole;
    if (ours.isEmpty()) return;
    emit dataChanged(index(static_cast<int>(first - rows_.begin())), index(static_cast<int>(last - rows_.begin()) - 1),
                     ours);
}

QString TThumbnailModel::KeyOf(int tile) const {
    const TFoundFile* f = table_->Result(TableRow(tile));
    if (!f) return {};
    // The same result whatever the sort or filter: its address, its path and where its
    // content starts (content results have no address).
    QString key = QString::fromStdString(f->Inode) + QLatin1Char('|') + QString::fromStdString(f->FullPath);
    if (!f->Extents.empty()) key += QLatin1Char('|') + QString::number(f->Extents.front().Offset);
    return key;
}

QVariant TThumbnailModel::data(const QModelIndex& index, int role) const {
    const int row = TableRow(index.isValid() ? index.row() : -1);
    if (row < 0) return {};
    switch (role) {
        case Qt::DisplayRole:
            return table_->index(row, rcFile).data(Qt::DisplayRole);
        case Qt::ToolTipRole:
            return table_->index(row, rcPath).data(Qt::DisplayRole).toString() + QLatin1Char('\n') +
                   table_->index(row, rcFile).data(Qt::DisplayRole).toString() + QLatin1Char('\n') +
                   table_->index(row, rcCondition).data(Qt::DisplayRole).toString();
        case ConditionRole:
            return table_->index(row, rcCondition).data(Qt::DisplayRole);
        case Qt::CheckStateRole:
            return table_->index(row, 0).data(Qt::CheckStateRole);
        case Qt::DecorationRole:
        case ThumbnailStateRole: {
            const QString key = KeyOf(index.row());
            if (const QImage* image = cache_.object(key))
                return role == Qt::DecorationRole ? QVariant(*image) : QVariant(QStringLiteral("picture"));
            if (none_.contains(key) || (!paused_ && (!source_ || !source_())))
                return role == Qt::DecorationRole ? QVariant() : QVariant(QStringLiteral("none"));
            Want(index.row(), key);
            return role == Qt::DecorationRole ? QVariant() : QVariant(QStringLiteral("loading"));
        }
        default:
            return {};
    }
}

bool TThumbnailModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const int row = TableRow(index.isValid() ? index.row() : -1);
    if (role != Qt::CheckStateRole || row < 0) return false;
    // The list's model announces the change, which comes back here as the tile's.
    return table_->setData(table_->index(row, 0), value, Qt::CheckStateRole);
}

Qt::ItemFlags TThumbnailModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

void TThumbnailModel::SetExtractorSource(std::function<TPreviewLoader::MakeExtractor()> source) {
    source_ = std::move(source);
}

void TThumbnailModel::Want(int tile, const QString& key) const {
    if (paused_ || !active_ || asked_.contains(key)) return;
    TPreviewLoader::MakeExtractor make = source_ ? source_() : nullptr;
    const TFoundFile* f = table_->Result(TableRow(tile));
    if (!make || !f) return;
    if (!loader_) {
        QPointer<TThumbnailModel> self(const_cast<TThumbnailModel*>(this));
        loader_ = std::make_unique<TThumbnailLoader>(
            [self](uint64_t epoch, const QString& k, const QImage& image) {
                // Worker thread: the model lives on the UI thread.
                QMetaObject::invokeMethod(
                    self.data(),
                    [self, epoch, k, image] {
                        if (self) self->Arrived(epoch, k, image);
                    },
                    Qt::QueuedConnection);
            },
            side_);
    }
    asked_.insert(key, tile);
    for (const QString& dropped : loader_->Request(TThumbnailJob{key, *f, std::move(make), sourceId_}))
        asked_.remove(dropped);
}

void TThumbnailModel::Arrived(uint64_t epoch, const QString& key, const QImage& image) {
    if (!loader_ || epoch != loader_->Epoch()) return;  // asked before a cancel
    const auto it = asked_.constFind(key);
    if (it == asked_.constEnd()) return;
    const int tile = it.value();
    asked_.erase(it);
    if (image.isNull()) {
        if (none_.size() >= kMaxNone) none_.clear();
        none_.insert(key);
    } else {
        cache_.insert(key, new QImage(image), std::max<int>(1, static_cast<int>(image.sizeInBytes() / 1024)));
    }
    if (KeyOf(tile) == key)
        emit dataChanged(index(tile), index(tile), {Qt::DecorationRole, ThumbnailStateRole});
    else if (!rows_.empty())  // the tiles moved meanwhile: let the view find it
        emit dataChanged(index(0), index(rowCount() - 1), {Qt::DecorationRole, ThumbnailStateRole});
}

void TThumbnailModel::CancelReads() {
    if (loader_) loader_->Cancel();
    asked_.clear();
}

void TThumbnailModel::SetActive(bool active) {
    if (active == active_) return;
    if (!active) CancelReads();
    beginResetModel();
    active_ = active;
    Rebuild();
    endResetModel();
}

void TThumbnailModel::SetPaused(bool paused) {
    if (paused == paused_) return;
    paused_ = paused;
    if (paused) {
        CancelReads();
    } else if (!rows_.empty()) {
        emit dataChanged(index(0), index(rowCount() - 1), {Qt::DecorationRole, ThumbnailStateRole});
    }
}

void TThumbnailModel::Forget() {
    CancelReads();
    cache_.clear();
    none_.clear();
    ++sourceId_;
}

} // namespace brivo
