#pragma once
#include <string>
#include <vector>

#include "core/ScanHost.h"
#include "engine/TSKRunner.h"

namespace brivo {

struct TExtractedBinary {
    std::string ResourceName;
    std::string FileName;
    std::string FullPath;  // empty when an optional tool was not linked
};

// The engine's state a front end owns beside the scan state.
struct TEngineContext {
    std::string FToolsDir;
    std::vector<TExtractedBinary> FExtracted;
    TTSKRunner FRunner;
};

// Full path of an engine tool ("fls", "icat", "ils"): the engine folder first, then
// beside the program. Throws "Required engine file not found: %s" (translated).
std::string RequireTool(const TEngineContext& ctx, TScanHost& host, const std::string& fileName);
// False (after a "Missing required files." warning) when the engine folder is gone.
bool CheckRequiredFiles(const TEngineContext& ctx, TScanHost& host);

} // namespace brivo
