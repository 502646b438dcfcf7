#pragma once
// Runs the FAT32 scan over a memory image with a recording front end and a debug file.
#include <algorithm>
#include <string>
#include <vector>

#include "FatTestImage.h"
#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "core/ScanState.h"
#include "fat32/Fat32Log.h"
#include "fat32/Fat32Volume.h"
#include "fat32/Fat32Walk.h"

namespace brivo::test {

struct FatScan {
    TempDir dir;
    RecordingHost host;
    TScanState st;  // Stop
    THostReport report{host, st};
    TReaderResult result;

    FatScan() { host.debugLogPath = dir / "debug.log"; }

    // Empty masks: every name.
    const TFoundFiles& Run(const FatImage& img, const TMaskList& masks = {}, bool cleanup = true) {
        {
            TReaderOptions opts;
            opts.Masks = masks;
            opts.Cleanup = cleanup;
            const TByteSourcePtr src = MakeMemoryByteSource(img.bytes);
            TFat32Log log(report);
            result = RunFat32Scan(log, OpenFat32Volume(*src, log), opts);
        }
        host.Drain();
        return result.Found;
    }
    std::vector<std::string> Paths() const {
        std::vector<std::string> out;
        for (const auto& f : result.Found) out.push_back(f.FullPath);
        return out;
    }
    std::string InodeOf(const std::string& path) const {
        for (const auto& f : result.Found)
            if (f.FullPath == path) return f.Inode;
        return "<missing " + path + ">";
    }
    // The debug file's lines without their time stamps.
    std::vector<std::string> FileLines() const {
        std::vector<std::string> out;
        const std::string text = ReadFileBytes(host.debugLogPath);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find("\r\n", pos);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(pos, end - pos);
            out.push_back(line.size() >= 10 ? line.substr(10) : line);
            pos = end + 2;
        }
        return out;
    }
    bool HasLine(const std::string& prefix) const {
        for (const auto& l : FileLines())
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }
};

} // namespace brivo::test
