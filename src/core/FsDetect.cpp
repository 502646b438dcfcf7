#include "core/FsDetect.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "platform/Devices.h"
#include "platform/RawSource.h"

namespace brivo {

TFsKind DetectFileSystemFromHead(ByteSpan head) {
    if (head.size() < kBootSectorSize) return TFsKind::NotRecognised;
    head = head.first(std::min(head.size(), kDetectBytes));
    for (const TFsInfo& fs : FileSystemTable())
        if (fs.Recognise(head)) return fs.Kind;
    return TFsKind::NotRecognised;
}

TFsKind DetectFileSystemOfSource(const TRawSource& source) {
    std::array<uint8_t, kDetectBytes> head{};
    // A source shorter than the bytes read is recognised from what it has; one shorter
    // than a sector holds no file system.
    const int64_t n = source.ReadAt(0, head.data(), head.size());
    if (n < static_cast<int64_t>(kBootSectorSize)) return TFsKind::NotRecognised;
    return DetectFileSystemFromHead(ByteSpan(head.data(), static_cast<size_t>(n)));
}

TFsKind DetectFileSystem(const std::string& src) {
    TRawSource source;
    int err = 0;
    if (!source.Open(src, err)) {
        if (IsDeviceSource(src)) return TFsKind::NotRecognised;
        throw std::runtime_error(ErrnoText(err) + ": " + src);
    }
    return DetectFileSystemOfSource(source);
}

std::string FatWidthText(const std::string& widthName, std::string text) {
    if (widthName == "FAT32" || widthName.empty()) return text;
    for (size_t at = text.find("FAT32"); at != std::string::npos; at = text.find("FAT32", at + widthName.size()))
        text.replace(at, 5, widthName);
    return text;
}

} // namespace brivo
