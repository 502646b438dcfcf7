#include "driver/ScanDriver.h"
#include "fat32/Fat32Scan.h"
#include "filters/ScopeFilter.h"
#include "ntfs/NtfsScan.h"

namespace brivo {

TScanRoutes TScanRoutes::Default() {
    TScanRoutes r;
    r.Ntfs = [](TScanState& st, TScanHost& host, const std::string& src, const TMaskList& masks) {
        FastScanNtfsDirect(st, host, src, masks);
    };
    r.Fat32 = [](TScanState& st, TScanHost& host, const std::string& src, const TMaskList& masks) {
        FastScanFat32Direct(st, host, src, masks);
    };
    r.Scope = [](TScanState& st, TScanHost& host, TEngineContext& engine, TScanWhere mode, const std::string& path) {
        ApplyScopeFilter(st, host, engine, mode, path);
    };
    return r;
}

} // namespace brivo
