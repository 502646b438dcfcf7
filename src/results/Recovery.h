#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Extractor.h"
#include "core/FoundFile.h"
#include "core/UnreadableMap.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "results/RecoveryOutput.h"

namespace brivo {

// Recovery of the checked results: each result's content, given by the extractor of the
// last scan's route, streamed into a file at the result's relative path under the chosen
// folder. The batch runs on a worker (results/RecoveryBatch.h).
//
// A front end's Recover command:
//   if (!CheckRecoveryPreconditions(state, host, CountChecked(marks))) return;
//   folder = <ask the user; cancelled -> return>;
//   (optionally OutputOnScannedDevice(state.FLastSrcForFls, folder) -> ask / refuse)
//   batch.Start(<indices of checked rows>, folder, options);

struct TRecoveryCounts {
    int OK = 0;
    int Failed = 0;
    int Damaged = 0;  // kept with unreadable parts (counted in neither of the others)
};

// The checks before the folder dialog, in order: no mark ("Please mark at least one file
// for recovery."), no scan yet ("Please run Scan first."). Each refusal shows its
// translated warning through host.ShowWarning and returns false. Whether the engine's
// tools are at hand is the engine extractor's to say, for the results that need them.
bool CheckRecoveryPreconditions(const TScanState& state, TScanHost& host, int checkedCount);

// A file failed because the source could not read part of it (what KeepDamaged keeps).
class TUnreadablePartsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One file written by RecoverOne.
struct TRecoveredFile {
    std::string OutputPath;  // the file it went to ("name (2).ext" when the name was taken)
    // A name on the way (the file's or a folder's) was longer than the 255 bytes Linux
    // allows and was cut to fit (the result's FullPath still has it whole).
    bool NameShortened = false;
    uint64_t Size = 0;       // bytes written
    std::string Sha256;      // of those bytes, lower-case hex; empty unless asked for
    // Kept with zeros where the source could not be read (only with KeepDamaged).
    bool Damaged = false;
    // Where, as offsets in the file; may be incomplete when the extractor did not pass the
    // bytes on as read (compressed data), Damaged still says so.
    std::vector<TByteRange> Unreadable;
};

// The optional parts of RecoverOne.
struct TRecoverOneOptions {
    // Gets the count written so far after each piece of the content.
    std::function<void(uint64_t)> OnBytes;
    // Keeps the folder of the last file open for the next (a batch's).
    TRecoveryFolders* Folders = nullptr;
    // Whether TRecoveredFile::Sha256 is wanted.
    bool Hash = true;
    // A file the source could not read in full is kept, with zeros for what is missing,
    // instead of failing with the place of the first unreadable byte. Only extractors
    // that read through a resilient source (core/ResilientSource.h) can tell.
    bool KeepDamaged = false;
};

// Writes one result's content under folder at RecoveryRelativePath(FullPath), or at the
// first free "name (n).ext" beside it: nothing already there is ever replaced, and a
// name (taken, or too long for Linux) never fails a file (TRecoveryTarget). Logs
// "Recovering: <path>" first and "Saved as: <file>" when another name was taken. The file
// gets the result's modification time (as access time too) when it has one.
//
// Throws std::runtime_error with the user's message on any failure (no scan, invalid
// address, unsafe or uncreatable path, the extractor failing, a write refused, a part the
// source could not read unless options.KeepDamaged: "Cannot read <source> at byte N: ...",
// as a TUnreadablePartsError), and
// TExtractionStopped when state's Stop flag is set while the content is written. Either
// way nothing is left behind: the content goes to a fresh hidden file beside the target,
// which only a complete extraction turns into the output file.
TRecoveredFile RecoverOne(TScanState& state, TScanHost& host, TExtractor& extractor, const TFoundFile& f,
                          const std::string& folder, const TRecoverOneOptions& options = {});

// The modification time a recovered file gets; none when the result has no time or one
// that a file cannot carry.
std::optional<timespec> RecoveryTimeOf(const TFoundFile& f);

// The "/"-separated relative output path of a result's FullPath. Blanks and control
// characters are trimmed from both ends; "/" and "\" both separate components (Recycle
// Bin paths carry Windows separators); empty and "." components are dropped; a ".."
// component becomes "_"; the characters : * ? " < > | and control characters become
// "_". So "C:\..\..\x" gives "C_/_/_/x" and nothing ever climbs out of the output folder.
// "recovered.bin" when nothing is left.
std::string RecoveryRelativePath(const std::string& fullPath);

} // namespace brivo
