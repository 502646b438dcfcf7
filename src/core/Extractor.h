#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>

#include "core/ByteSource.h"
#include "core/FoundFile.h"

namespace brivo {

// Where an extractor puts a file's bytes, in order, a chunk at a time. Recovery's sink
// writes the output file, hashes and counts; a preview's sink keeps the first bytes.
// Write may throw: TExtractionStopped when the user pressed Stop (or a preview has what
// it needs), std::runtime_error when the output cannot be written.
class TByteSink {
public:
    virtual ~TByteSink() = default;
    virtual void Write(std::span<const uint8_t> bytes) = 0;
};

// Thrown through an extractor by a sink that wants no more bytes.
struct TExtractionStopped : std::runtime_error {
    TExtractionStopped() : std::runtime_error("Stopped") {}
};

// Gives back one result's content. The driver, which chose the scan's route, hands
// recovery and preview the extractor that matches it: the direct readers' own, or the
// engine's icat. Throws std::runtime_error with the user's message when the content
// cannot be read; never holds a whole file in memory.
class TExtractor {
public:
    virtual ~TExtractor() = default;
    virtual void Extract(const TFoundFile& f, TByteSink& sink) = 0;
};

// Reads results that carry byte extents (found by their content) straight from the
// volume, in extent order, a chunk at a time; every other result goes to next (the file
// system's own extractor), or fails with "Cannot copy ..." when there is none. An extent
// that runs past the volume's end, or a read that fails, throws std::runtime_error
// "Cannot read <source> at byte N: <why>".
std::unique_ptr<TExtractor> MakeExtentExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> next);

} // namespace brivo
