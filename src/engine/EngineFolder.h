#pragma once
#include <string>
#include <vector>

#include "core/ScanHost.h"
#include "engine/TSKRunner.h"

namespace brivo {

struct TExtractedBinary {
    std::string ResourceName;  // the installed tool the link points to
    std::string FileName;
    std::string FullPath;  // empty when an optional tool was not linked
};

// The engine's state a front end owns beside the scan state.
struct TEngineContext {
    std::string FToolsDir;
    std::vector<TExtractedBinary> FExtracted;
    TTSKRunner FRunner;
};

// The engine is the system's Sleuth Kit: its tools are found on PATH and linked into a
// private folder made at start, so that every later lookup goes through one place.
inline constexpr const char* kEngineFolderPrefix = "recovery_embedded";
inline constexpr const char* kEnginePackage = "sleuthkit";

struct TEngineTool {
    const char* FileName;
    bool Optional;
};
// fls and icat are required; ils, and fsstat and blkls (a deep scan's free-space map),
// optional. FExtracted follows this order.
const std::vector<TEngineTool>& EngineToolTable();

// First PATH entry (absolute entries only: a relative one would make the tool depend on
// the current folder) holding an executable regular file of that name; empty when none.
std::string FindToolOnPath(const std::string& fileName, const std::string& searchPath);

// TempDirectory()/recovery_embedded/{GUID}, mode 0700. "recovery_embedded" is made 0700
// when missing and used only when it is a real directory owned by the effective user;
// otherwise (another user made it, or it is a link) the per-user
// "recovery_embedded-<uid>" is used under the same rules. Throws when neither is safe.
std::string CreateUniqueTempFolder(const std::string& prefix);

// Makes the engine folder and links fls, icat and (when installed) ils into it from
// searchPath (a PATH-style list). A missing required tool removes the folder again and
// throws a message naming the tool and the package that provides it.
void ExtractEmbeddedBinaries(std::string& toolsDir, std::vector<TExtractedBinary>& extracted,
                             const std::string& searchPath);
// The same with $PATH (or the usual system folders when PATH is unset).
void ExtractEmbeddedBinaries(std::string& toolsDir, std::vector<TExtractedBinary>& extracted);
void ExtractEmbeddedBinaries(TEngineContext& ctx);

// Removes the links and the folder. Never throws.
void DeleteExtractedBinaries(const std::string& toolsDir, const std::vector<TExtractedBinary>& extracted);
void DeleteExtractedBinaries(TEngineContext& ctx);
// Removes the folder with all it holds (links are removed, never followed). Never throws.
// Only the per-start folder goes; "recovery_embedded" above it stays for other instances.
void RemoveTempFolder(const std::string& folder);

// Full path of an engine tool ("fls", "icat", "ils"): the engine folder first, then
// beside the program. Throws "Required engine file not found: %s" (translated).
std::string RequireTool(const TEngineContext& ctx, TScanHost& host, const std::string& fileName);
// False (after a "Missing required files." warning) when the engine folder is gone.
bool CheckRequiredFiles(const TEngineContext& ctx, TScanHost& host);

} // namespace brivo
