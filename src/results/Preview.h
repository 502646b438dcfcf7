#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Extractor.h"
#include "core/FoundFile.h"
#include "core/UnreadableMap.h"

namespace brivo {

// The first bytes of one result, read through the same extraction as recovery.
struct TPreviewBytes {
    std::vector<uint8_t> Bytes;
    bool Truncated = false;  // the file goes on past the cap
    size_t Cap = 0;          // the cap the read had (a picture's is larger)
    std::string Error;       // why nothing (or not all) could be read; "" when fine
    // Where the source could not be read, as offsets in the file: zeros stand there in
    // Bytes (a preview goes on past them, as a recovery that keeps such files does).
    std::vector<TByteRange> Unreadable;
    // The first such place as the source named it; set also when the zeros could not be
    // placed in the file (decompressed data).
    std::string UnreadableMessage;
};

// "4096-8191, 12288-12799" (first and last byte of each range, counted from 0), at most
// maxShown of them and then ", ..." .
std::string ByteRangesText(const std::vector<TByteRange>& ranges, size_t maxShown = 4);

// How a preview shows its bytes.
enum class TPreviewKind { Image, Text, Hex };

// Reads at most cap bytes of f with extractor, or at most pictureCap when its first bytes
// are a picture's (a picture cut short cannot be drawn whole); a read error ends up in
// Error, with the bytes read before it kept. stop is polled at every chunk (a newer
// request or closing).
TPreviewBytes ReadPreviewBytes(TExtractor& extractor, const TFoundFile& f, size_t cap,
                               const std::function<bool()>& stop = {}, size_t pictureCap = 0);

// An image format the window can draw, told by its signature (PNG, JPEG, GIF, BMP,
// WebP, TIFF, ICO); else text when PreviewText finds a readable text; else Hex.
TPreviewKind ClassifyPreview(const std::vector<uint8_t>& bytes);
bool LooksLikeImage(const std::vector<uint8_t>& bytes);
// The bytes as UTF-8 text: UTF-8 (a BOM dropped), UTF-16 LE/BE with a BOM, else the
// system's code page. False when the bytes do not read as text (NUL bytes or many
// control characters outside a UTF-16 text). A sequence cut by the cap at the end is
// not held against UTF-8.
bool PreviewText(const std::vector<uint8_t>& bytes, std::string& text);
// "00000000  48 65 6c 6c 6f 0a ...  |Hello.|" lines of 16 bytes, at most maxBytes of them.
std::string HexDump(const std::vector<uint8_t>& bytes, size_t maxBytes = 64 * 1024);

// Reads previews on a thread of its own, one request at a time; a newer request
// supersedes one still running (it stops at its next chunk) or waiting. The thread is
// owned: the destructor stops the current read and joins it. done runs on the worker
// thread with the request's ticket; the front end hands it to its UI thread and drops
// results whose ticket is not the latest.
class TPreviewLoader {
public:
    using Done = std::function<void(uint64_t ticket, TPreviewBytes bytes)>;
    using MakeExtractor = std::function<std::unique_ptr<TExtractor>()>;

    TPreviewLoader(Done done, size_t cap, size_t pictureCap = 0);
    ~TPreviewLoader();
    TPreviewLoader(const TPreviewLoader&) = delete;
    TPreviewLoader& operator=(const TPreviewLoader&) = delete;

    // Queues a read of f (copied) and returns its ticket.
    uint64_t Request(MakeExtractor make, const TFoundFile& f);
    // Drops what is waiting and stops the current read; returns the ticket it used.
    uint64_t Cancel();
    uint64_t LatestTicket() const;

private:
    void Run();

    Done done_;
    size_t cap_;
    size_t pictureCap_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    bool pending_ = false;
    uint64_t latest_ = 0;
    MakeExtractor make_;
    TFoundFile file_;
    std::thread thread_;
};

} // namespace brivo
