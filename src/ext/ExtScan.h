#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"
#include "ext/ExtDir.h"
#include "ext/ExtVolume.h"

namespace brivo {

// Folders deeper than this below the root are not walked.
inline constexpr int kExtMaxDepth = 64;
// Directory bytes read for one folder at most (a folder of a million long names).
inline constexpr uint64_t kExtMaxDirBytes = uint64_t{256} << 20;
// Where deleted inodes no entry names are listed, under the name the engine gives them.
inline constexpr const char* kExtOrphanFolder = "/$OrphanFiles";

// An older copy of a deleted inode (from the journal), asked for when the inode on the
// disk has lost its size or map. The copy is used only when it is a regular file of the
// same generation.
using TExtInodeHistory = std::function<std::optional<TExtInode>(uint32_t number)>;

// The byte extents of a map covering size bytes, when the map has no holes, no unwritten
// blocks and reaches the size; nothing otherwise.
std::optional<std::vector<TByteExtent>> ExtByteExtents(const TExtFileMap& map, uint64_t size, uint32_t blockSize);

// The one scan over an open volume: the live tree walked from the root, the deleted
// entries in its folders listed at their folder's path, the deleted folders whose map is
// still there walked too, then the free inodes no entry named that still have a map (as
// the engine's orphan files). Addresses are inode numbers, as the engine gives them.
class TExtScanner {
public:
    TExtScanner(TExtVolume& vol, TReaderReport& report, TReaderOptions options, TExtInodeHistory history = {});
    TReaderResult Run();

private:
    struct TDirToWalk {
        std::string Path;
        uint32_t Inode = 0;
        bool Deleted = false;
        int Depth = 0;
    };
    void Walk(const TDirToWalk& dir);
    bool ReadDirectory(const TExtInode& inode, bool deleted, std::vector<std::pair<std::vector<uint8_t>, bool>>& blocks);
    void DeletedEntry(const std::string& parent, const TExtDirEntry& e, int depth);
    void OrphanInodes();
    bool AddResult(const std::string& path, const TExtInode& inode, const TExtFileMap& map, bool fromHistory);
    bool Hidden(const std::string& path, uint64_t size);
    void Progress(const std::string& text, uint64_t pos = 0, uint64_t max = 0);

    TExtVolume& vol_;
    TReaderReport& report_;
    TReaderOptions options_;
    TExtInodeHistory history_;
    bool emptyIsNoise_ = false;
    TExtDirOptions dirOptions_;
    TReaderResult result_;
    std::vector<TDirToWalk> pending_;
    std::unordered_set<uint32_t> walkedDirs_;
    std::unordered_set<uint32_t> seenInodes_;   // deleted inodes listed or judged already
    uint64_t lastProgress_ = 0;
    uint64_t dirsWalked_ = 0;
};

// Lists the deleted files of the ext2/3/4 file system that starts at byte 0 of src. With
// opts.Deep also its free space (FreeAreas: free blocks, and blocks the file system
// reserved but never wrote) and where the listed files' content starts. Throws
// std::runtime_error when the source is not usable ext2/3/4, TMaskError for a bad mask.
TReaderResult FastScanExtDirect(TByteSource& src, TReaderReport& report, const TReaderOptions& opts);

} // namespace brivo
