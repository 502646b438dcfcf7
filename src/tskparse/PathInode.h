#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "engine/CommandLine.h"
#include "engine/EngineFolder.h"

namespace brivo {

// "\" to "/", a leading "/" added, trailing "/" dropped; empty stays empty.
std::string NormalizeTskPath(std::string_view path);
// The non-empty, trimmed names of a folder path; none for "" and "/".
std::vector<std::string> SplitPathSegments(std::string_view path);
// The last name of a path (after the last "/" or ":"); "/" for the root.
std::string LastPathComponent(std::string_view name);

// fls <fsSwitch words> -p -m / <src> [dirInode]: one directory, live and deleted entries.
// Throws when the address holds anything but letters, digits and "-".
TToolCommand BuildFlsListCommand(const std::string& flsPath, const std::string& fsSwitch, const std::string& src,
                                 const std::string& dirInode);
// The same with RequireTool("fls") and state.FLastFsSwitch.
TToolCommand BuildFlsListCommand(const TScanState& state, const TEngineContext& ctx, TScanHost& host,
                                 const std::string& src, const std::string& dirInode);

// The engine's address of the folder pathFilter on src, found by listing one directory
// per path segment (names compared ignoring ASCII case; only live directories match).
// Empty for the root ("" or "/"), without running the engine. Throws "Cannot resolve
// folder path segment ..." when a segment has no match. UI thread.
std::string ResolvePathInode(TScanState& state, TEngineContext& ctx, TScanHost& host, const std::string& src,
                             const std::string& pathFilter);

} // namespace brivo
