#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/ByteSource.h"
#include "core/UnreadableMap.h"

namespace brivo {

struct TResilientOptions {
    // The smallest piece tried alone: a sector for data; a reader may ask for its record
    // size. A piece that fails at this size is unreadable.
    uint32_t Unit = 512;
    // A failed read is walked in blocks of this size before pieces of Unit are tried, so
    // that one bad sector costs a block's worth of small reads, not the whole request's.
    uint32_t BlockBytes = 64 * 1024;
    // After this many failed pieces in a row the rest of the block is skipped, and so is
    // every following block that fails at once, but for the sectors at its end that read
    // back (where the stretch ends); a disk that takes seconds per failed read would
    // otherwise take hours. RetrySkipped comes back to what was skipped.
    // Above the 8 sectors that one bad 4 KiB physical sector fails together.
    uint32_t MaxFailuresInRow = 32;
    // Fail the read (-1, LastError naming the byte) at the first unreadable piece instead
    // of giving zeros for it.
    bool Strict = false;
};

// A byte source that reads past bad areas of the one it wraps. A read that fails is
// tried again in smaller pieces; every piece that can be read is returned, every piece
// that cannot is zero-filled and added to the shared map of unreadable areas, and no area
// is ever tried twice at the small size (the map is consulted first). Reads stay short
// only at the source's end. Like every source, one thread reads at a time; the map may be
// shared with other sources over the same bytes (an extractor's) and read from anywhere.
//
// The bytes of a read that were zero-filled are also told to the TUnreadableWatch active
// on the reading thread, if any, so that whoever passes them on (recovery) knows.
class TResilientSource final : public TByteSource {
public:
    TResilientSource(TByteSourcePtr inner, std::shared_ptr<TUnreadableMap> map, TResilientOptions options = {});

    uint64_t Size() const override { return inner_->Size(); }
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override;
    const std::string& Name() const override { return inner_->Name(); }
    std::string LastError() const override { return lastError_; }

    const std::shared_ptr<TUnreadableMap>& Map() const { return map_; }
    // Areas given up after failures in a row, never tried piece by piece.
    std::vector<TByteRange> Skipped() const { return skipped_.Areas(); }
    // Failed reads of the wrapped source so far (each costs a bad disk's timeout).
    uint64_t FailedReads() const { return failedReads_; }

    // The skipped areas tried once more, now that the rest has been read: each piece by
    // piece from its start and then from its end, each walk ending after MaxFailuresInRow
    // failures in a row (bad areas are usually one run; their good edges come back).
    // Pieces read are taken out of the map and handed to onRead; returns them, merged.
    // Afterwards nothing is skipped any more: a second call does nothing. stop, when set,
    // ends the walk early.
    using TOnRead = std::function<void(uint64_t offset, std::span<const uint8_t> bytes)>;
    std::vector<TByteRange> RetrySkipped(const TOnRead& onRead = {}, const std::atomic<bool>* stop = nullptr);

private:
    bool ReadWhole(uint64_t offset, uint8_t* dst, uint64_t n);
    // A range holding no known bad byte. False in strict mode once a piece failed.
    bool ReadPiece(uint64_t offset, uint8_t* dst, uint64_t n, uint64_t readStart, uint8_t* readBuf);
    bool Unreadable(uint64_t offset, uint64_t n, bool skipped, uint64_t readStart, uint8_t* readBuf);
    // Skips [offset, end) in a bad stretch but for the sectors at its end that read back.
    bool SkipRun(uint64_t offset, uint64_t end, uint64_t readStart, uint8_t* readBuf);
    void NoteFailure();

    TByteSourcePtr inner_;
    std::shared_ptr<TUnreadableMap> map_;
    TResilientOptions opt_;
    TUnreadableMap skipped_;
    std::string lastError_;
    std::string lastWhy_;
    uint64_t failedReads_ = 0;
    uint32_t failsInRow_ = 0;
    uint64_t failRunEnd_ = UINT64_MAX;
};

std::shared_ptr<TResilientSource> MakeResilientSource(TByteSourcePtr inner, std::shared_ptr<TUnreadableMap> map,
                                                      TResilientOptions options = {});

// While one lives on a thread, every zero-filled piece of a resilient source's read on
// that thread is noted here with where it sits in the caller's buffer. A sink matches the
// notes to the bytes it is given (an extractor passes read buffers on as they are) and so
// learns which of its bytes are zeros for want of the real ones. Watches nest; the inner
// one gets the notes.
class TUnreadableWatch {
public:
    struct THit {
        const uint8_t* At = nullptr;  // in the reader's buffer
        uint64_t Length = 0;
        uint64_t SourceOffset = 0;    // where the bytes are in the source
        std::string Message;          // "Cannot read <source> at byte N: <why>"
    };

    TUnreadableWatch();
    ~TUnreadableWatch();
    TUnreadableWatch(const TUnreadableWatch&) = delete;
    TUnreadableWatch& operator=(const TUnreadableWatch&) = delete;

    // Called by resilient sources; nothing happens without a watch on this thread.
    static void Note(const uint8_t* at, uint64_t length, uint64_t sourceOffset, const std::string& message);

    // The noted pieces that lie inside bytes, as ranges relative to bytes.data(), in order;
    // they are taken out of the watch.
    std::vector<TByteRange> TakeWithin(std::span<const uint8_t> bytes);
    // Pieces noted but never matched to bytes passed on (read into a buffer that was then
    // transformed, say decompressed).
    const std::vector<THit>& Pending() const { return hits_; }
    // Every note so far, matched or not (the first one names the place for an error).
    bool Any() const { return any_; }
    const std::string& FirstMessage() const { return firstMessage_; }

private:
    std::vector<THit> hits_;
    bool any_ = false;
    std::string firstMessage_;
    TUnreadableWatch* outer_ = nullptr;
};

} // namespace brivo
