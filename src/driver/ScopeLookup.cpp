#include "driver/ScopeLookup.h"

#include "core/ScanErrors.h"
#include "tskparse/PathInode.h"

namespace brivo {

bool ScopeFolderOnVolume(TScanState& state, TEngineContext& engine, TScanHost& host) {
    try {
        ResolvePathInode(state, engine, host, state.FLastSrcForFls, state.FLastPathFilterNorm);
    } catch (const TFolderNotOnVolumeError&) {
        return false;
    } catch (const std::exception&) {
    }
    return true;
}

} // namespace brivo
