#include <algorithm>
#include <cstring>

#include "carve/CarveFormat.h"

namespace brivo::carve {

namespace {

bool Starts(std::span<const uint8_t> h, const char* sig, size_t n, size_t at = 0) {
    return h.size() >= at + n && std::memcmp(h.data() + at, sig, n) == 0;
}

bool SniffJpeg(std::span<const uint8_t> h) {
    return h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF && (h[3] >= 0xC0 && h[3] != 0xFF && h[3] != 0xD8 && h[3] != 0xD9);
}
bool SniffPng(std::span<const uint8_t> h) { return Starts(h, "\x89PNG\r\n\x1A\n", 8); }
bool SniffGif(std::span<const uint8_t> h) { return Starts(h, "GIF87a", 6) || Starts(h, "GIF89a", 6); }
bool SniffBmp(std::span<const uint8_t> h) { return h[0] == 'B' && h[1] == 'M' && h[6] == 0 && h[7] == 0 && h[8] == 0 && h[9] == 0; }
bool SniffTiff(std::span<const uint8_t> h) {
    return Starts(h, "II*\0", 4) || Starts(h, "MM\0*", 4) || Starts(h, "IIRO", 4) || Starts(h, "IIRS", 4) ||
           Starts(h, "IIU\0", 4);
}
bool SniffIsoBmff(std::span<const uint8_t> h) { return Starts(h, "ftyp", 4, 4) && h[0] == 0 && h[1] == 0; }
bool SniffRiff(std::span<const uint8_t> h) {
    return Starts(h, "RIFF", 4) && (Starts(h, "WAVE", 4, 8) || Starts(h, "AVI ", 4, 8) || Starts(h, "WEBP", 4, 8));
}
bool SniffPdf(std::span<const uint8_t> h) { return Starts(h, "%PDF-", 5); }
bool SniffZip(std::span<const uint8_t> h) { return Starts(h, "PK\x03\x04", 4); }
bool SniffOle2(std::span<const uint8_t> h) { return Starts(h, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8); }
bool SniffSqlite(std::span<const uint8_t> h) { return Starts(h, "SQLite format 3\0", 16); }
bool SniffGzip(std::span<const uint8_t> h) { return h[0] == 0x1F && h[1] == 0x8B && h[2] == 8 && (h[3] & 0xE0) == 0; }
bool Sniff7z(std::span<const uint8_t> h) { return Starts(h, "7z\xBC\xAF\x27\x1C", 6); }
bool SniffOgg(std::span<const uint8_t> h) { return Starts(h, "OggS\0\x02", 6); }
bool SniffRtf(std::span<const uint8_t> h) { return Starts(h, "{\\rtf", 5); }
bool SniffMatroska(std::span<const uint8_t> h) { return Starts(h, "\x1A\x45\xDF\xA3", 4); }
bool SniffFlac(std::span<const uint8_t> h) { return Starts(h, "fLaC", 4) && (h[4] & 0x7F) == 0; }
bool SniffRar(std::span<const uint8_t> h) { return Starts(h, "Rar!\x1A\x07\x00", 7) || Starts(h, "Rar!\x1A\x07\x01\x00", 8); }
// A tag, or a frame header with no reserved or "free" value in it.
bool SniffMp3(std::span<const uint8_t> h) {
    if (Starts(h, "ID3", 3)) return h[3] >= 2 && h[3] <= 4 && h[4] != 0xFF;
    return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && ((h[1] >> 3) & 3) != 1 && ((h[1] >> 1) & 3) != 0 && (h[2] >> 4) != 0 &&
           (h[2] >> 4) != 15 && ((h[2] >> 2) & 3) != 3;
}

} // namespace

const std::vector<TCarveFormat>& CarveFormats() {
    static const std::vector<TCarveFormat> kFormats{
        {"JPEG", {"jpg"}, {0xFF}, SniffJpeg, WalkJpeg},
        {"PNG", {"png"}, {0x89}, SniffPng, WalkPng},
        {"PDF", {"pdf"}, {'%'}, SniffPdf, WalkPdf},
        {"ZIP", {"zip", "docx", "xlsx", "pptx", "vsdx", "odt", "ods", "odp", "odg", "epub", "jar", "apk"}, {'P'}, SniffZip, WalkZip},
        {"ISO media", {"mp4", "mov", "m4a", "3gp", "heic", "avif", "cr3"}, {0x00}, SniffIsoBmff, WalkIsoBmff},
        {"GIF", {"gif"}, {'G'}, SniffGif, WalkGif},
        {"BMP", {"bmp"}, {'B'}, SniffBmp, WalkBmp},
        {"TIFF", {"tif", "cr2", "nef", "arw", "dng", "orf", "rw2"}, {'I', 'M'}, SniffTiff, WalkTiff},
        {"RIFF", {"avi", "wav", "webp"}, {'R'}, SniffRiff, WalkRiff},
        {"OLE2", {"doc", "xls", "ppt", "msg", "vsd", "ole"}, {0xD0}, SniffOle2, WalkOle2},
        {"SQLite", {"sqlite"}, {'S'}, SniffSqlite, WalkSqlite},
        {"gzip", {"gz"}, {0x1F}, SniffGzip, WalkGzip},
        {"7z", {"7z"}, {'7'}, Sniff7z, Walk7z},
        {"Ogg", {"ogg"}, {'O'}, SniffOgg, WalkOgg},
        {"RTF", {"rtf"}, {'{'}, SniffRtf, WalkRtf},
        {"Matroska", {"mkv", "webm"}, {0x1A}, SniffMatroska, WalkMatroska},
        {"FLAC", {"flac"}, {'f'}, SniffFlac, WalkFlac},
        {"RAR", {"rar"}, {'R'}, SniffRar, WalkRar},
        {"MP3", {"mp3"}, {'I', 0xFF}, SniffMp3, WalkMp3},
    };
    return kFormats;
}

int DecodedShare(const TCarveHit& hit) {
    if (hit.End == TCarveEnd::Complete) return 100;
    int pct = hit.DecodedPercent;
    if (pct < 0) pct = hit.Length ? static_cast<int>(std::min(hit.ProvenBytes, hit.Length) * 100 / hit.Length) : 0;
    // What fails its check at the very end still fails it.
    return std::clamp(pct, 0, 99);
}

} // namespace brivo::carve
