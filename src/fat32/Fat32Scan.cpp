#include "fat32/Fat32Scan.h"

#include "core/FsDetect.h"
#include "fat32/Fat32Log.h"
#include "fat32/Fat32Volume.h"
#include "fat32/Fat32Walk.h"

namespace brivo {

TReaderResult FastScanFat32Direct(TByteSource& src, TReaderReport& report, const TReaderOptions& opts) {
    TFat32Log log(report);
    std::string kind = "FAT32";
    uint8_t boot[kBootSectorSize];
    if (src.ReadExact(0, boot, sizeof boot)) {
        const TFsKind k = DetectFileSystemFromHead(ByteSpan(boot, sizeof boot));
        if (k == TFsKind::Fat12 || k == TFsKind::Fat16) kind = FsKindName(k);
    }
    log.SafeLog("Fast " + kind + " scan: reading FAT and directory entries directly...");
    return RunFat32Scan(log, OpenFat32Volume(src, log), opts);
}

} // namespace brivo
