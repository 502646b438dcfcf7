#include "fat32/Fat32Scan.h"

#include "fat32/Fat32Log.h"
#include "fat32/Fat32Volume.h"
#include "fat32/Fat32Walk.h"

namespace brivo {

void FastScanFat32Direct(TScanState& st, TScanHost& host, const std::string& src, const TMaskList& masks) {
    TFat32Log log(host);
    log.SafeLog("Fast FAT32 scan: reading FAT and directory entries directly...");
    TFat32Volume volume = OpenFat32Volume(src, log);
    RunFat32Scan(st, log, std::move(volume), masks);
}

} // namespace brivo
