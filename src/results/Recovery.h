#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "core/FoundFile.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "engine/CommandLine.h"
#include "engine/EngineFolder.h"

namespace brivo {

// Recovery of the checked results: one icat run per result, its standard output written
// to the result's relative path under the chosen folder. Runs on the UI thread.
//
// A front end's Recover command:
//   if (!CheckRecoveryPreconditions(state, ctx, host, CountChecked(marks))) return;
//   folder = <ask the user; cancelled -> return>;
//   (optionally OutputOnScannedDevice(state.FLastSrcForFls, folder) -> ask / refuse)
//   RecoverSelected(state, ctx, host, <indices of checked rows>, folder);

struct TRecoveryCounts {
    int OK = 0;
    int Failed = 0;
};

// The checks before the folder dialog, in order: no mark ("Please mark at least one file
// for recovery."), CheckRequiredFiles (shows its own message), no scan yet ("Please run
// Scan first."). Each refusal shows its translated warning through host.ShowWarning and
// returns false.
bool CheckRecoveryPreconditions(const TScanState& state, const TEngineContext& ctx, TScanHost& host,
                                int checkedCount);

// The batch once a folder is chosen: creates the folder (with missing parents; throws
// std::runtime_error with the system's message when that fails, before anything else
// happens), goes busy with "Recovering selected files...", runs RecoverOne for
// state.FFound[row] of each row in order (a failure is logged as "RECOVER ERROR: <path>
// -> <message>" and counted; a row outside FFound counts as Failed), logs "Selected
// recovery finished. OK=%d, Failed=%d", shows the "Recovery finished. OK: %d Failed: %d"
// information box, sets the three-line status text, and goes idle again on every way out.
TRecoveryCounts RecoverSelected(TScanState& state, TEngineContext& ctx, TScanHost& host,
                                const std::vector<size_t>& rows, const std::string& folder);

// Writes one result's content to folder/<RecoveryRelativePath(FullPath)>. Throws
// std::runtime_error with the user's message on any failure (no scan, invalid address,
// icat missing, unsafe or uncreatable path, icat failing or warning). Logs "Recovering:
// <path>" and "> <command line>" before icat runs.
//
// The output never lands outside folder: every folder on the way is created by us or
// found as a real directory (a symbolic link is refused); the content is written to a
// fresh hidden file beside the target and renamed over it only when icat succeeded, so a
// failed run leaves no partial file and never destroys an earlier good copy.
void RecoverOne(TScanState& state, TEngineContext& ctx, TScanHost& host, const TFoundFile& f,
                const std::string& folder);

// Inode trimmed, every "*" removed, tabs made blanks, trimmed again.
std::string CleanMetaAddress(const std::string& inode);
// One to three groups of ASCII digits joined by "-" (record, attribute type, attribute id),
// after trimming blanks and control characters; "" and "(deleted)" are refused.
bool IsValidMetaAddress(const std::string& text);

// The "/"-separated relative output path of a result's FullPath. Blanks and control
// characters are trimmed from both ends; "/" and "\" both separate components (Recycle
// Bin paths carry Windows separators); empty and "." components are dropped; a ".."
// component becomes "_"; the characters : * ? " < > | and control characters become
// "_". So "C:\..\..\x" gives "C_/_/_/x" and nothing ever climbs out of the output folder.
// "recovered.bin" when nothing is left.
std::string RecoveryRelativePath(const std::string& fullPath);

// icat <fsSwitch words> -R <source> <address>.
TToolCommand BuildIcatCommand(const std::string& icatPath, const std::string& fsSwitch, const std::string& source,
                              const std::string& address);

} // namespace brivo
