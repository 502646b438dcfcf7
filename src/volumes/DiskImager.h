#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "core/ByteSource.h"
#include "volumes/RescueMap.h"

namespace brivo {

struct TImageProgress {
    uint64_t Total = 0;       // bytes of the source
    uint64_t Rescued = 0;     // copied
    uint64_t BadBytes = 0;    // found unreadable sector by sector
    uint64_t Pending = 0;     // failed in a large read, still to be tried sector by sector
    uint64_t NotTried = 0;    // not read yet (left by a stop)
    size_t Errors = 0;        // bad areas (runs of bad sectors and areas still pending)
    double BytesPerSecond = 0;  // copied this run, per second of this run
    double SecondsLeft = -1;    // at that rate; -1 when not known yet
    const char* Phase = "";     // "copying", "retrying bad areas", "finished", "stopped"
};

struct TImageOptions {
    // The map file: read first when it exists (the copy goes on where it stopped), written
    // as the copy goes and at its end.
    std::string MapPath;
    // Lines naming the run, written at the top of the map file ("Command line: ...").
    std::vector<std::string> MapComments;
    // The first pass reads this much at a time; a read that fails leaves its area for the
    // end, where it is read sector by sector.
    uint32_t ChunkBytes = 1 << 20;
    uint32_t SectorBytes = 512;
    // After this many failed chunks in a row the first pass jumps ahead (twice as far
    // each time) and comes back for what it jumped over once the rest is copied.
    uint32_t SkipAfterFailures = 2;
    // Called from the copying thread at most a few times a second and once at the end.
    std::function<void(const TImageProgress&)> OnProgress;
    const std::atomic<bool>* Stop = nullptr;
};

struct TImageResult {
    TImageProgress Last;
    bool Stopped = false;
    bool Resumed = false;  // an existing map was continued
    size_t BadAreas = 0;   // runs of sectors found bad sector by sector
};

// Copies src into a raw image file at outPath, sequentially: the readable areas first
// (in a file made by this run zeros are left as holes, so the image is sparse; a file
// continued is written in full, bad sectors as zeros, as it may hold anything), then the areas whose large reads
// failed, sector by sector, once; sectors that still fail stay zeros in the image and
// '-' in the map. The source is only ever read.
//
// A new image needs a path where nothing is yet, unless the map file is there too: then
// the copy resumes, reading only what the map does not mark copied or bad. Throws
// std::runtime_error with the user's message when the image or map cannot be created or
// written, the map does not fit, or the source has no known size. The map keeps the
// source's size and the hash of its first MiB in a comment line: a map (or image) of
// another source, or an image shorter than its map says, is refused, not continued. Stop (checked between
// reads) ends the copy with the map saved.
TImageResult ImageSource(TByteSource& src, const std::string& outPath, const TImageOptions& options);

} // namespace brivo
