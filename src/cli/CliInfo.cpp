#include "cli/CliInfo.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>

#include "cli/Json.h"
#include "core/FsDetect.h"
#include "driver/FsReaders.h"
#include "volumes/VolumeList.h"
#include "platform/Devices.h"
#include "platform/RawSource.h"
#include "volumes/MappedImage.h"

namespace brivo::cli {

namespace {

bool PathExists(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0;
}

} // namespace

std::string ResolveSourceArgument(const std::string& text) {
    if (IsDeviceSource(text) || text.empty() || PathExists(text)) return text;
    if (text.find('/') == std::string::npos) {
        const std::string dev = DevicePathFor(text);
        if (PathExists(dev)) return dev;
    }
    return text;
}

TCliCommand InfoCommand() {
    TCliCommand c;
    c.Definition.Name = "info";
    c.Definition.Summary = "Show a source's container, partition table and volumes, with the file system of each.";
    c.Definition.Description =
        "Opens SOURCE read-only: a raw image or device, or an E01, VHD/VHDX, VMDK or QCOW2\n"
        "image (found by its signature, not its name). Reads its MBR or GPT partition table\n"
        "and names the file system at the start of every volume. The number in the first\n"
        "column is what scan and recover take as --volume.\n" +
        DirectFileSystemNames() + " are read directly by a scan;\nother file systems go through the engine tools.\n" +
        "Where there is no valid table, or space no partition covers, volumes whose table\n"
        "entry is lost are searched for at the usual alignments and listed \"found by\n"
        "search\", with what was found of them; --search looks at every sector instead.\n"
        "Exit code 1 when the source cannot be read, or holds no partition table and no\n"
        "file system that is recognised.";
    c.Definition.Positionals = {{"SOURCE", "a disk image file, a device name such as sdb1, or a /dev path"}};
    c.Definition.Options = {{"format", "FORMAT", "output format", {"text", "json"}, "text"},
                            {"search", "", "search every sector for lost volumes (reads the whole source)", {}, ""},
                            {"map", "FILE", "the map of an image copied with 'image' (default: IMAGE.map)", {}, ""}};
    c.Run = RunInfo;
    return c;
}

namespace {

TJson VolumeJson(const TVolume& v) {
    TJson o;
    o["index"] = v.Index;
    o["start"] = v.StartSector;
    o["length"] = v.SectorCount;
    o["size"] = v.SizeBytes;
    o["type"] = v.Type;
    o["type_name"] = v.TypeName;
    o["name"] = v.Name;
    o["fs"] = v.Fs.Name;
    o["readable"] = v.Readable;
    o["problem"] = v.Problem;
    if (v.FsLengthBytes != 0) o["fs_length"] = v.FsLengthBytes;
    if (v.Unallocated) {
        o["unallocated"] = true;
    } else if (v.FoundBySearch) {
        o["found_by_search"] = true;
        o["evidence"] = v.Evidence;
        if (v.AlternativeTo != 0) o["alternative_to"] = v.AlternativeTo;
    }
    return o;
}

bool AnythingRecognised(const TSourceVolumes& s) {
    if (s.Scheme != TPartitionScheme::None || s.Container != TContainerKind::Raw) return true;
    return !s.Volumes.empty() && (!s.Volumes.front().Fs.Name.empty() || s.Volumes.front().FoundBySearch);
}

} // namespace

int RunInfo(const TParsedArgs& args, std::ostream& out, std::ostream& err) {
    const std::string source = ResolveSourceArgument(args.Positionals.at(0));
    TSourceVolumes vols;
    if (args.Has("map")) UseRescueMap(source, args.Value("map"));
    try {
        vols = ListVolumes(source, args.Has("search") ? TSearchDepth::EverySector : TSearchDepth::Aligned);
    } catch (const std::exception& e) {
        err << "brivo-recovery-cli: error: " << e.what() << "\n";
        return kExitFailure;
    }

    const bool searched = args.Has("search") && vols.Searched;
    if (vols.SearchStopped) vols.Problems.push_back("The search for lost volumes was stopped before its end.");
    if (args.Value("format") == "json") {
        TJson doc;
        doc["source"] = source;
        doc["container"] = vols.ContainerFormat;
        doc["size"] = vols.DiskSize;
        doc["partition_table"] = PartitionSchemeName(vols.Scheme);
        doc["sector_size"] = vols.SectorSize;
        if (searched) doc["search"] = "every sector";
        else if (args.Has("search") && !vols.SearchNote.empty()) doc["search"] = vols.SearchNote;
        doc["volumes"] = TJson::array();
        for (const auto& v : vols.Volumes) doc["volumes"].push_back(VolumeJson(v));
        doc["problems"] = TJson::array();
        for (const auto& p : vols.Problems) doc["problems"].push_back(p);
        out << JsonText(doc) << "\n";
    } else {
        out << "Source: " << source << "\n"
            << "Container: " << vols.ContainerFormat << " (" << SizeText(vols.DiskSize) << ")\n"
            << "Partition table: " << PartitionSchemeName(vols.Scheme) << "\n";
        if (searched) out << "Search for lost volumes: every sector\n";
        else if (args.Has("search") && !vols.SearchNote.empty()) out << "Search for lost volumes: " << vols.SearchNote << "\n";
        out << "Volumes:\n";
        for (const auto& v : vols.Volumes) out << "  " << DescribeVolume(v, vols.SectorSize) << "\n";
        for (const auto& p : vols.Problems) out << "Warning: " << p << "\n";
    }
    if (!AnythingRecognised(vols)) {
        err << "brivo-recovery-cli: error: No partition table and no known file system was found in " << source
            << ": it is not a disk image, or what it holds is not recognised. \"info --search\" looks for lost "
               "volumes at every sector; \"scan --deep\" searches it for lost NTFS records and for files by "
               "their content.\n";
        return kExitFailure;
    }
    return kExitOk;
}

} // namespace brivo::cli
