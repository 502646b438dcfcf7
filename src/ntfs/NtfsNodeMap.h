#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/NtfsTypes.h"

namespace brivo {

// One named record as the path builder sees it.
struct TNtfsMftNode {
    uint64_t Inode = 0;      // record number
    uint64_t Parent = 0;     // record number of the parent directory
    uint16_t ParentSeq = 0;  // sequence number the parent reference expects
    std::string_view Name;   // valid while the map is not changed
    bool IsDir = false;
    bool InUse = false;
    uint16_t Seq = 0;        // the record's own sequence number (FILE header offset 16)
};

// Every named record of the $MFT, keyed by record number. Built once during the record
// pass (mostly in increasing order), then read by the path stage. Stored compactly,
// because it holds one entry per record of volumes with millions of files: a fixed slot
// per record plus the UTF-8 names packed into one buffer.
class TNtfsNodeMap {
public:
    void Reserve(size_t records);
    // Adds the record, or replaces the entry already held under the same number.
    void Add(uint64_t inode, uint64_t parentRef, uint16_t seq, std::string_view name, bool isDir, bool inUse);
    bool Find(uint64_t inode, TNtfsMftNode& node) const;
    size_t Size() const;
    bool Empty() const { return slots_.empty(); }
    void Clear();

private:
    struct TSlot {
        uint64_t Inode;
        uint64_t ParentRef;
        uint64_t NameOff;
        uint16_t NameLen;
        uint16_t Seq;
        uint8_t Flags;
    };
    static constexpr uint8_t kDir = 1, kInUse = 2;
    void Normalize() const;
    const TSlot* Lookup(uint64_t inode) const;

    mutable std::vector<TSlot> slots_;
    mutable bool sorted_ = true;  // slots_ strictly increasing by Inode
    std::string names_;
};

// Whether a parent reference still designates the record now held in the map. A record's
// sequence number (FILE header offset 16) is incremented when the record is freed, so a
// reference matches the record as it was while it was in use (equal numbers) or just
// after it was freed with nothing new in it (one higher, not in use). Anything else is a
// record reused for another file or folder since the reference was written.
bool ParentReferenceMatches(uint16_t refSeq, const TNtfsMftNode& parent);

// Deepest folder chain followed. Real volumes stay far below it; a crafted chain of
// thousands of folders would otherwise cost time and memory for every file below it.
inline constexpr size_t kMaxMftPathDepth = 256;

// The folder path of a parent reference: the names from the highest reachable ancestor
// down to the referenced folder, joined by "/", without the root's name and with no
// leading or trailing "/". A missing, reused or repeated ancestor ends the chain, so the
// path then starts below it, and so does the depth limit; empty when nothing is reachable.
// deletedFolders, when given, gets the path of each folder of the chain whose record is
// no longer in use (a deleted folder).
std::string BuildMftPath(uint64_t parentRef, const TNtfsNodeMap& map, std::vector<std::string>* deletedFolders = nullptr);

} // namespace brivo
