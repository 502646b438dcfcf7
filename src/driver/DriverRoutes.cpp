#include "driver/ScanDriver.h"
#include "fat32/Fat32Scan.h"
#include "filters/ScopeFilter.h"
#include "ntfs/NtfsScan.h"

namespace brivo {

TScanRoutes TScanRoutes::Default() {
    TScanRoutes r;
    r.Ntfs = [](TByteSource& src, TReaderReport& report, const TReaderOptions& opts) {
        return FastScanNtfsDirect(src, report, opts);
    };
    r.Fat32 = [](TByteSource& src, TReaderReport& report, const TReaderOptions& opts) {
        return FastScanFat32Direct(src, report, opts);
    };
    r.Scope = [](TScanState& st, TScanHost& host, TEngineContext& engine, TScanWhere mode, const std::string& path) {
        ApplyScopeFilter(st, host, engine, mode, path);
    };
    return r;
}

} // namespace brivo
