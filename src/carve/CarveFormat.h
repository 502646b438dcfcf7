#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "carve/CarveInput.h"
#include "core/FoundFile.h"

namespace brivo::carve {

enum class TCarveEnd : uint8_t {
    NotFile,   // the start does not hold up: not this format
    Complete,  // the structure runs whole to its own end
    CutShort,  // the structure starts well but breaks off or runs past the searched area
};

// What a walker makes of a candidate start.
struct TCarveHit {
    TCarveEnd End = TCarveEnd::NotFile;
    uint64_t Length = 0;  // bytes that belong to the file, from its start; never past Size()
    std::string Ext;      // "jpg", "docx", ...
    std::string Title;    // a name the content gives itself, without extension; may be empty
    TDateTime ModDate = 0;
    bool HasModDate = false;
};

// One format family: a cheap test of the first bytes at a sector start, and the walker that
// follows the structure from there.
struct TCarveFormat {
    std::string_view Name;                // "JPEG"
    std::vector<std::string_view> Exts;   // every extension the walker may give
    std::vector<uint8_t> FirstBytes;      // every byte its signature may begin with
    bool (*Sniff)(std::span<const uint8_t> head);  // head: at least 64 bytes, zero-padded
    TCarveHit (*Walk)(TCarveInput& in);
};

// Every family, in the order candidates are tried.
const std::vector<TCarveFormat>& CarveFormats();

// The walkers, each a pure function of the bytes the input gives.
TCarveHit WalkJpeg(TCarveInput& in);
TCarveHit WalkPng(TCarveInput& in);
TCarveHit WalkGif(TCarveInput& in);
TCarveHit WalkBmp(TCarveInput& in);
TCarveHit WalkTiff(TCarveInput& in);
TCarveHit WalkIsoBmff(TCarveInput& in);
TCarveHit WalkRiff(TCarveInput& in);
TCarveHit WalkPdf(TCarveInput& in);
TCarveHit WalkZip(TCarveInput& in);
TCarveHit WalkOle2(TCarveInput& in);
TCarveHit WalkSqlite(TCarveInput& in);
TCarveHit WalkGzip(TCarveInput& in);
TCarveHit Walk7z(TCarveInput& in);
TCarveHit WalkOgg(TCarveInput& in);
TCarveHit WalkRtf(TCarveInput& in);
TCarveHit WalkMatroska(TCarveInput& in);
TCarveHit WalkMp3(TCarveInput& in);
TCarveHit WalkFlac(TCarveInput& in);
TCarveHit WalkRar(TCarveInput& in);

// Shared by the walkers: a hit that ends at length, complete or cut short.
inline TCarveHit Ended(TCarveEnd end, uint64_t length, std::string ext) {
    TCarveHit h;
    h.End = end;
    h.Length = length;
    h.Ext = std::move(ext);
    return h;
}

} // namespace brivo::carve
