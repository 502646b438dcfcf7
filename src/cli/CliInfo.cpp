#include "cli/CliInfo.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>

#include "cli/Json.h"
#include "core/FsDetect.h"
#include "platform/Devices.h"
#include "platform/RawSource.h"

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
    c.Definition.Summary = "Show which file system a source holds (NTFS, FAT32 or not recognised).";
    c.Definition.Description =
        "Reads the first sector of SOURCE, read-only, and names the file system found there.\n"
        "NTFS and FAT32 are read directly by a scan; any other source goes through the\n"
        "engine tools, without a file-system switch.";
    c.Definition.Positionals = {{"SOURCE", "a disk image file, a device name such as sdb1, or a /dev path"}};
    c.Definition.Options = {{"format", "FORMAT", "output format", {"text", "json"}, "text"}};
    c.Run = RunInfo;
    return c;
}

int RunInfo(const TParsedArgs& args, std::ostream& out, std::ostream& err) {
    const std::string source = ResolveSourceArgument(args.Positionals.at(0));
    TRawSource raw;
    int openErr = 0;
    if (!raw.Open(source, openErr)) {
        err << "ERROR: " << ErrnoText(openErr) << ": " << source << "\n";
        return kExitFailure;
    }
    std::array<uint8_t, kBootSectorSize> sector{};
    const int64_t n = raw.ReadAt(0, sector.data(), sector.size());
    if (n < 0) {
        err << "ERROR: " << ErrnoText(errno) << ": " << source << "\n";
        return kExitFailure;
    }
    // A source shorter than one sector holds no file system we read.
    const TFsKind kind = DetectFileSystemFromBootSector(ByteSpan(sector.data(), static_cast<size_t>(n)));
    const std::string fsSwitch = FsSwitchForKind(kind);

    if (args.Value("format") == "json") {
        out << TJsonObject()
                   .Add("source", source)
                   .Add("kind", static_cast<int>(kind))
                   .Add("name", FsKindName(kind))
                   .Add("fs_switch", fsSwitch)
                   .Text()
            << "\n";
    } else {
        out << "Source: " << source << "\n"
            << "File system: " << FsKindName(kind) << "\n"
            << "Switch: " << (fsSwitch.empty() ? std::string("(none)") : fsSwitch.substr(1)) << "\n";
    }
    return kExitOk;
}

} // namespace brivo::cli
