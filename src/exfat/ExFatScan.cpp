#include "exfat/ExFatScan.h"

#include "exfat/ExFatVolume.h"
#include "exfat/ExFatWalk.h"

namespace brivo {

TReaderResult FastScanExFatDirect(TByteSource& src, TReaderReport& report, const TReaderOptions& opts) {
    report.Log("Fast exFAT scan: reading FAT, allocation bitmap and directory entries directly...");
    TExFatVolume vol(src);
    if (report.DebugEnabled()) {
        const TExFatBoot& b = vol.Boot();
        report.DebugLog("exFAT boot: bytes_per_cluster=" + std::to_string(b.BytesPerCluster) +
                        " clusters=" + std::to_string(b.ClusterCount) + " heap=" + std::to_string(b.HeapOffset) +
                        " root=" + std::to_string(b.RootCluster) + " backup=" + (b.FromBackup ? "True" : "False") +
                        " bitmap=" + (vol.HasBitmap() ? "True" : "False"));
    }
    if (vol.Boot().FromBackup) report.Log("exFAT: the main boot region is damaged; the backup boot region is used.");
    if (!vol.HasBitmap()) report.Log("exFAT: the allocation bitmap cannot be read; conditions are unknown.");
    TExFatScanner scanner(vol, report, opts);
    return scanner.Run();
}

} // namespace brivo
