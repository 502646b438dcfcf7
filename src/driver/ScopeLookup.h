#pragma once
#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "engine/EngineFolder.h"

namespace brivo {

// Whether the folder the last scan was narrowed to (state.FLastPathFilterNorm) is on the
// scanned volume. Only a folder the engine's listing positively does not find counts as
// missing: a listing that fails for another reason says nothing about the folder, and
// answers true.
bool ScopeFolderOnVolume(TScanState& state, TEngineContext& engine, TScanHost& host);

} // namespace brivo
