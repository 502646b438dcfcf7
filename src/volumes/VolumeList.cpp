#include "volumes/VolumeList.h"

#include <cstdio>

#include "core/ScanState.h"
#include "core/TextFormat.h"

namespace brivo {

namespace {

std::string VolumeListText(const TSourceVolumes& src) {
    std::string s;
    for (const auto& v : src.Volumes) s += "\n  " + DescribeVolume(v, src.SectorSize);
    return s;
}

} // namespace

TSourceVolumes ListVolumes(const std::string& path) {
    TOpenedContainer c = OpenContainer(path);
    TSourceVolumes s = ListVolumesOf(c.Disk, c.Kind);
    s.Source = path;
    s.ContainerFormat = c.Format;
    s.ReopenDisk = [path] { return OpenContainer(path).Disk; };
    return s;
}

TSourceVolumes ListVolumesOf(TByteSourcePtr disk, TContainerKind container) {
    TSourceVolumes s;
    s.Source = disk->Name();
    s.Container = container;
    s.ContainerFormat = ContainerKindName(container);
    s.DiskSize = disk->Size();
    s.Disk = disk;
    TPartitionTable t = ReadPartitionTable(*disk);
    s.Scheme = t.Scheme;
    s.SectorSize = t.SectorSize;
    s.Problems = std::move(t.Problems);
    if (t.Scheme == TPartitionScheme::None) {
        TVolume v;
        v.SectorCount = s.DiskSize / 512;
        v.SizeBytes = s.DiskSize;
        v.Fs = ProbeFileSystem(*disk);
        s.Volumes.push_back(std::move(v));
        return s;
    }
    for (auto& p : t.Partitions) {
        TVolume v;
        v.Index = p.Number;
        v.StartSector = p.StartSector;
        v.SectorCount = p.SectorCount;
        v.SizeBytes = p.SectorCount * s.SectorSize;
        v.Type = std::move(p.Type);
        v.TypeName = std::move(p.TypeName);
        v.Name = std::move(p.Name);
        v.Readable = p.Readable;
        v.Problem = std::move(p.Problem);
        if (v.Readable) {
            TByteSourcePtr slice = OpenVolumeSource(s, v);
            v.Fs = ProbeFileSystem(*slice);
        }
        s.Volumes.push_back(std::move(v));
    }
    return s;
}

const TVolume& ChooseVolume(const TSourceVolumes& src, uint32_t index) {
    if (src.Volumes.empty()) {
        std::string msg = src.Source + " holds a partition table (" + PartitionSchemeName(src.Scheme) + ") with no volumes.";
        for (const auto& p : src.Problems) msg += "\n" + p;
        throw TVolumeChoiceError(msg);
    }
    if (index == 0) {
        if (src.Volumes.size() == 1) return src.Volumes.front();
        const TVolume* only = nullptr;
        size_t scannable = 0;
        for (const auto& v : src.Volumes) {
            if (v.Scannable()) {
                ++scannable;
                only = &v;
            }
        }
        if (scannable == 1) return *only;
        throw TSeveralVolumesError(
            Format("%s holds %d volumes. Choose the one to scan:", {src.Source, src.Volumes.size()}) + VolumeListText(src));
    }
    for (const auto& v : src.Volumes) {
        if (v.Index != index) continue;
        if (!v.Readable)
            throw TVolumeChoiceError(Format("Volume %d of %s %s.", {index, src.Source, v.Problem}));
        return v;
    }
    throw TNoSuchVolumeError(Format("%s has no volume %d. Its volumes:", {src.Source, index}) + VolumeListText(src));
}

TByteSourcePtr OpenVolumeSource(const TSourceVolumes& src, const TVolume& v) {
    if (src.Scheme == TPartitionScheme::None) return src.Disk;
    if (!v.Readable) throw std::runtime_error(Format("Volume %d of %s %s.", {v.Index, src.Source, v.Problem}));
    return MakeSliceByteSource(src.Disk, v.StartSector * src.SectorSize, v.SectorCount * src.SectorSize,
                               Format("%s, volume %d", {src.Source, v.Index}));
}

TByteSourcePtr ReopenVolumeSource(const TSourceVolumes& src, const TVolume& v) {
    TSourceVolumes fresh;
    fresh.Source = src.Source;
    fresh.Scheme = src.Scheme;
    fresh.SectorSize = src.SectorSize;
    fresh.Disk = src.ReopenDisk ? src.ReopenDisk() : src.Disk;
    return OpenVolumeSource(fresh, v);
}

std::string DescribeVolume(const TVolume& v, uint32_t sectorSize) {
    std::string s = Format("%d  %s  %s", {v.Index, v.Fs.Name.empty() ? std::string("unknown file system") : v.Fs.Name,
                                          SizeText(v.SizeBytes)});
    if (!v.TypeName.empty()) s += "  " + v.TypeName;
    else if (!v.Type.empty()) s += "  type " + v.Type;
    if (!v.Name.empty()) s += "  \"" + v.Name + "\"";
    if (!v.Type.empty() && v.SectorCount > 0) {
        s += Format("  (sectors %d-%d", {v.StartSector, v.StartSector + v.SectorCount - 1});
        if (sectorSize != 512) s += Format(" of %d bytes", {sectorSize});
        s += ")";
    }
    if (!v.Problem.empty()) s += "  [" + v.Problem + "]";
    return s;
}

std::vector<std::string> EngineVolumeArgs(const TSourceVolumes& src, const TVolume& v) {
    const std::string type = EngineImageType(src.Container);
    if (!EngineReadsContainer(src.Container))
        throw std::runtime_error("The engine tools cannot read " + src.ContainerFormat + " images, and " +
                                 (v.Fs.Name.empty() ? std::string("the file system of this volume")
                                                    : "the " + v.Fs.Name + " file system") +
                                 " is read only by them. Convert the image to a raw one first, for example "
                                 "with: qemu-img convert -O raw " + src.Source + " disk.img");
    const uint64_t offset512 = src.Scheme != TPartitionScheme::None ? v.StartSector * (src.SectorSize / 512) : 0;
    return EngineVolumeArgs(src.Container == TContainerKind::Raw ? std::string() : type, offset512);
}

std::string SizeText(uint64_t bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return Format("%d B", {bytes});
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 5) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

} // namespace brivo
