#pragma once
#include <string>

#include "carve/CarveFormat.h"

namespace brivo::carve {

// TIFF byte order and the field readers for it, over the candidate's bytes.
struct TTiffReader {
    TCarveInput& In;
    bool Big = false;  // "MM"
    uint64_t Base = 0; // where the TIFF header is; IFD offsets count from here
    uint32_t U16(uint64_t off);
    uint32_t U32(uint64_t off);
    // Type sizes for the twelve TIFF field types (and IFD, 13); 0 for an unknown type.
    static uint32_t TypeSize(uint32_t type);
};

// Names a photo from its TIFF/EXIF tags (IFD0 Make, Model, DateTime; the EXIF IFD's
// DateTimeOriginal): "2019-07-14 15.32.10 (Canon EOS 80D)". Sets hit.Title and the date
// when the tags are there; leaves the hit alone otherwise. tiffStart is the "II"/"MM".
void NameFromExif(TCarveInput& in, uint64_t tiffStart, TCarveHit& hit);

// "YYYY:MM:DD HH:MM:SS" to a TDateTime; false when it is not a real date.
bool ParseExifDate(const std::string& s, TDateTime& out);
TDateTime MakeDateTime(int y, int mo, int d, int h, int mi, int s);

// Keeps letters, digits and harmless punctuation of a name the content gives itself, so it
// can be a file name; trims it and caps its length.
std::string CleanTitle(const std::string& raw);

} // namespace brivo::carve
