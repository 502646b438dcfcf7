#pragma once
#include <QImage>
#include <QString>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/FoundFile.h"
#include "results/Preview.h"

namespace brivo {

// The bytes of a picture decoded and scaled to fit a side x side square, on the calling
// thread; null when they are not a picture Qt can draw. A picture cut short gives what
// decodes of it.
QImage DecodeThumbnail(const std::vector<uint8_t>& bytes, int side);

// One thumbnail to make: the result (copied, so the results may be re-sorted meanwhile),
// the extractor of its scan, and the key the answer carries back.
struct TThumbnailJob {
    QString Key;
    TFoundFile File;
    TPreviewLoader::MakeExtractor Make;
    // Jobs of the same source share one extractor while they come in a row.
    uint64_t SourceId = 0;
};

// Makes thumbnails on a thread of its own through the extraction the preview and
// recovery use, a bounded number of bytes per picture. The newest request runs first
// (the tiles just scrolled into view), and only a bounded number wait: the oldest are
// dropped and handed back to the caller, who asks again when their tiles are painted.
// done runs on the worker with the epoch the job was queued in and a null image for a
// result that gave no picture; the front end hands it to its UI thread.
class TThumbnailLoader {
public:
    using Done = std::function<void(uint64_t epoch, const QString& key, const QImage& image)>;

    TThumbnailLoader(Done done, int side, size_t maxWaiting = 64);
    ~TThumbnailLoader();
    TThumbnailLoader(const TThumbnailLoader&) = delete;
    TThumbnailLoader& operator=(const TThumbnailLoader&) = delete;

    // Queues job ahead of those waiting; returns the keys of jobs dropped to keep the
    // queue bounded.
    std::vector<QString> Request(TThumbnailJob job);
    // Drops what waits, stops the running read at its next chunk and lets go of the
    // extractor; answers of earlier epochs are not delivered. Returns the new epoch.
    uint64_t Cancel();
    uint64_t Epoch() const;

private:
    void Run();

    Done done_;
    int side_;
    size_t maxWaiting_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    uint64_t epoch_ = 0;
    std::deque<TThumbnailJob> waiting_;
    std::thread thread_;
};

} // namespace brivo
