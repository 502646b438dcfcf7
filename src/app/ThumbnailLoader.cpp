#include "app/ThumbnailLoader.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include <algorithm>
#include <climits>
#include <exception>

namespace brivo {

namespace {
// A name that says picture over bytes that are not one: a few pages are enough to tell.
constexpr size_t kThumbnailTextCap = 64 * 1024;
// What one thumbnail may read of a picture: a camera's photo fits whole; a larger one is
// drawn from its first part (grey below), and never held whole in memory.
constexpr size_t kThumbnailPictureCap = 32 * 1024 * 1024;
} // namespace

QImage DecodeThumbnail(const std::vector<uint8_t>& bytes, int side) {
    if (side <= 0 || !LooksLikeImage(bytes)) return {};
    const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<qsizetype>(std::min<size_t>(bytes.size(), INT_MAX)));
    QBuffer buffer;
    buffer.setData(data);
    if (!buffer.open(QIODevice::ReadOnly)) return {};
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);  // a camera's photo stands as it was taken
    // Told the size it is wanted at, the JPEG decoder skips most of the work and memory.
    const QSize full = reader.size();
    if (full.isValid() && (full.width() > side || full.height() > side))
        reader.setScaledSize(full.scaled(side, side, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    QImage image = reader.read();
    if (image.isNull()) return {};
    if (image.width() > side || image.height() > side)
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

TThumbnailLoader::TThumbnailLoader(Done done, int side, size_t maxWaiting)
    : done_(std::move(done)), side_(side), maxWaiting_(std::max<size_t>(maxWaiting, 1)) {
    thread_ = std::thread([this] { Run(); });
}

TThumbnailLoader::~TThumbnailLoader() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        waiting_.clear();
    }
    wake_.notify_all();
    thread_.join();
}

std::vector<QString> TThumbnailLoader::Request(TThumbnailJob job) {
    std::vector<QString> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.push_front(std::move(job));
        while (waiting_.size() > maxWaiting_) {
            dropped.push_back(waiting_.back().Key);
            waiting_.pop_back();
        }
    }
    wake_.notify_all();
    return dropped;
}

uint64_t TThumbnailLoader::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_.clear();
    return ++epoch_;
}

uint64_t TThumbnailLoader::Epoch() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return epoch_;
}

void TThumbnailLoader::Run() {
    // Kept from one job to the next of the same source: opening a volume for every tile
    // would cost more than the tile. Let go of whenever nothing waits, so no source stays
    // open while a scan or recovery has the disk.
    std::unique_ptr<TExtractor> extractor;
    uint64_t extractorSource = 0;
    uint64_t extractorEpoch = 0;
    for (;;) {
        TThumbnailJob job;
        uint64_t epoch = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (waiting_.empty() && extractor) {
                lock.unlock();
                extractor.reset();
                lock.lock();
            }
            wake_.wait(lock, [this] { return quit_ || !waiting_.empty(); });
            if (quit_) return;
            job = std::move(waiting_.front());
            waiting_.pop_front();
            epoch = epoch_;
        }
        const std::function<bool()> stop = [this, epoch] {
            std::lock_guard<std::mutex> lock(mutex_);
            return quit_ || epoch_ != epoch;
        };
        if (extractor && (extractorSource != job.SourceId || extractorEpoch != epoch)) extractor.reset();
        QImage image;
        try {
            if (!extractor && job.Make) {
                extractor = job.Make();
                extractorSource = job.SourceId;
                extractorEpoch = epoch;
            }
            if (extractor) {
                TPreviewBytes bytes = ReadPreviewBytes(*extractor, job.File, kThumbnailTextCap, stop, kThumbnailPictureCap);
                // A read ended early may have left the extractor mid-file: the next job
                // starts on a fresh one.
                if (bytes.Truncated || !bytes.Error.empty() || stop()) extractor.reset();
                if (!stop()) image = DecodeThumbnail(bytes.Bytes, side_);
            }
        } catch (const std::exception&) {
            extractor.reset();  // the tile shows that no picture came of it
        }
        if (!stop()) done_(epoch, job.Key, image);
    }
}

} // namespace brivo
