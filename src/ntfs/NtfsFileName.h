#pragma once
#include <cstdint>
#include <string>

#include "ntfs/NtfsTypes.h"

namespace brivo {

// $FILE_NAME namespaces (byte 65 of the value).
inline constexpr uint8_t kNsPosix = 0;
inline constexpr uint8_t kNsWin32 = 1;
inline constexpr uint8_t kNsDos = 2;
inline constexpr uint8_t kNsWin32AndDos = 3;

// Whether a candidate name replaces the current one: any name beats none, anything beats
// a DOS 8.3 name, and a Win32 name beats a POSIX one; otherwise the first name stays.
bool IsBetterFileName(const std::string& current, uint8_t currentNs, const std::string& candidate,
                      uint8_t candidateNs);

struct TNtfsFileNameInfo {
    uint64_t ParentRef = 0;  // full reference (sequence number in the high 16 bits)
    std::string Name;
    bool IsDir = false;
};

// The record's best name from its resident $FILE_NAME attributes, with the parent folder
// of that same $FILE_NAME. IsDir is set even when no name is found.
bool ParseMftFileName(NtfsBytes rec, TNtfsFileNameInfo& out);

} // namespace brivo
