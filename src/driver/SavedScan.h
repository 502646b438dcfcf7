#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "core/ReaderResult.h"
#include "core/ScanState.h"
#include "volumes/VolumeList.h"

namespace brivo {

// What identifies the volume a scan read, so that a saved scan is only ever reopened
// against the same bytes: its source's path, its number in the volume list, its size and
// a hash of its first MiB (boot sector, file-system tables' start).
struct TScanIdentity {
    std::string Source;
    uint32_t Volume = 1;
    uint64_t Size = 0;
    std::string FirstMiBSha256;
    bool operator==(const TScanIdentity&) const = default;
};

// Reads the identity of a volume (up to its first MiB). Throws std::runtime_error when the
// volume cannot be read.
TScanIdentity IdentifyVolume(const TSourceVolumes& volumes, const TVolume& volume);

// A scan as saved: the scan state's results and choices, the identity of its volume, and
// what the reader learned about where content lies (cluster plans), so a long deep scan
// need not run twice.
struct TSavedScan {
    TScanIdentity Identity;
    TScanWhere Where = TScanWhere::swDisk;
    std::string Scope;
    TMaskList Masks;
    std::string FsSwitch;
    std::string Route;
    uint64_t HiddenByMasks = 0;
    uint64_t HiddenByCleanup = 0;
    bool DeepMayFindMore = false;
    TFoundFiles Found;
    std::vector<std::string> DeletedFolders;
    // Per result, a hash of the records it was listed from (or of a content find's first
    // bytes); empty for one whose records are not known. Empty as a whole in files written
    // before results were checked.
    std::vector<std::string> Checks;
    std::shared_ptr<const TClusterPlanMap> Plans;
};

// The checks of the results over the volume as it is now (see TSavedScan::Checks). kind:
// the volume's file system, whose reader knows where a result's records lie.
std::vector<std::string> ResultChecks(TByteSource& volume, TFsKind kind, const TFoundFiles& found);

// Compares the saved checks with the volume as it is now. Returns the number of results
// whose records have changed (unreadable ones count as changed) and names the first in
// firstChanged.
size_t CountChangedResults(TByteSource& volume, TFsKind kind, const TSavedScan& scan, std::string& firstChanged);

// Writes a saved scan as JSON (the results under the field names of the command line's
// "scan --json", plus the exact values the list needs back). Written through a temporary
// file and renamed, so an interrupted save never leaves half a file under the name.
// Throws std::runtime_error "<strerror>: <path>" when it cannot be written.
void WriteSavedScan(const TSavedScan& scan, const std::string& path);

// Reads a saved scan. Throws std::runtime_error with the user's message for a file that
// cannot be read or is not a saved scan ("... is not a saved scan of this program: ...").
// Every field is checked: a damaged file is refused, never half loaded.
TSavedScan ReadSavedScan(const std::string& path);

} // namespace brivo
