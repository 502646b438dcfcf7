#include "cli/CliImage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "cli/CliSignals.h"
#include "volumes/ImageTarget.h"
#include "volumes/DiskImager.h"
#include "volumes/VolumeList.h"

namespace brivo::cli {

namespace {

std::string DurationText(double seconds) {
    if (seconds < 0) return "?";
    const long long s = std::llround(seconds);
    if (s < 60) return std::to_string(s) + " s";
    if (s < 3600) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
}

std::string ProgressLine(const TImageProgress& p) {
    const double pct = p.Total ? 100.0 * static_cast<double>(p.Rescued + p.BadBytes) / static_cast<double>(p.Total) : 0;
    char pctText[16];
    std::snprintf(pctText, sizeof pctText, "%.1f%%", pct);
    return std::string(p.Phase) + ": " + SizeText(p.Rescued) + " of " + SizeText(p.Total) + " copied (" + pctText +
           "), " + SizeText(static_cast<uint64_t>(p.BytesPerSecond)) + "/s, errors: " + std::to_string(p.Errors) +
           ", time left: " + DurationText(p.SecondsLeft);
}

// The source as the user named it: a path, or a device name under /dev.
std::string SourcePath(const std::string& given) {
    struct stat st {};
    if (::stat(given.c_str(), &st) == 0 || given.find('/') != std::string::npos) return given;
    const std::string dev = "/dev/" + given;
    return ::stat(dev.c_str(), &st) == 0 ? dev : given;
}

} // namespace

int RunImage(const TImageRequest& request, std::ostream& out, std::ostream& err) {
    const std::string source = SourcePath(request.Source);
    const std::string mapPath = request.Map.empty() ? request.Out + ".map" : request.Map;
    try {
        CheckImageTarget(source, request.Out, mapPath);

        TSourceVolumes volumes = ListVolumes(source);
        TByteSourcePtr bytes = volumes.Disk;
        if (request.Volume != 0) bytes = OpenVolumeSource(volumes, ChooseVolume(volumes, request.Volume));

        TImageOptions options;
        options.MapPath = mapPath;
        options.MapComments = {"Command line: brivo-recovery-cli image " + source + " " + request.Out +
                               (request.Volume ? " --volume " + std::to_string(request.Volume) : "") + " --map " + mapPath};
        const bool tty = ::isatty(STDERR_FILENO) == 1;
        std::atomic<bool> stop{false};
        options.Stop = &stop;
        options.OnProgress = [&](const TImageProgress& p) {
            if (Interrupted()) stop = true;
            if (tty) err << "\r" << ProgressLine(p) << "\x1b[K" << std::flush;
        };
        TStopOnInterrupt interrupt;
        const TImageResult r = ImageSource(*bytes, request.Out, options);
        if (tty) err << "\n";
        const TImageProgress& p = r.Last;
        out << (r.Resumed ? "Image continued: " : "Image written: ") << request.Out << " (" << SizeText(p.Total)
            << "), map: " << mapPath << "\n";
        out << "Copied " << SizeText(p.Rescued) << " of " << SizeText(p.Total);
        if (p.BadBytes > 0) {
            const size_t areas = r.Stopped ? r.BadAreas : p.Errors;
            out << "; " << areas << (areas == 1 ? " area (" : " areas (") << SizeText(p.BadBytes + (r.Stopped ? 0 : p.Pending))
                << ") could not be read and are zeros in the image";
        }
        if (r.Stopped) {
            // Not read yet is not unreadable: the next run reads it.
            if (p.Pending > 0) out << "; " << SizeText(p.Pending) << " failed a first read and will be tried again";
            if (p.NotTried > 0) out << "; " << SizeText(p.NotTried) << " not tried yet";
        }
        out << ".\n";
        if (r.Stopped) {
            out << "Stopped: run the same command again to go on where it stopped.\n";
            return kExitSomeFailed;
        }
        return p.Errors > 0 ? kExitSomeFailed : kExitOk;
    } catch (const std::exception& e) {
        err << "brivo-recovery-cli: error: " << e.what() << "\n";
        return kExitFailure;
    }
}

TCliCommand ImageCommand() {
    TCommandSpec def;
    def.Name = "image";
    def.Summary = "Copy a failing disk or volume into an image file first, then scan the image.";
    def.Description =
        "Reads the source once, sequentially, the readable areas first; areas that fail are skipped and tried "
        "again sector by sector at the end. Unreadable sectors are zeros in the image. A map file (the format GNU "
        "ddrescue reads and writes) records what was copied: run the same command again to go on where it stopped. "
        "The map names the source (its size and a hash of its first MiB): a map or image left from another disk "
        "is refused. Scan the image with its map beside it (OUT.map) or named with --map, and the areas not "
        "copied read as unreadable, as on the disk. "
        "The source is never written. Exit codes: 0 all copied, 1 the copy failed, 2 bad usage, 3 unreadable areas "
        "remain or the copy was stopped.";
    def.Positionals = {{"SOURCE", "a device (sdb or /dev/sdb) or a disk image file"}, {"OUT", "the raw image to write"}};
    def.Options = {{"volume", "N", "copy only volume N of the source", {}, ""},
                   {"map", "FILE", "the map file (default: OUT.map)", {}, ""}};
    return {def, [](const TParsedArgs& args, std::ostream& out, std::ostream& err) {
                TImageRequest r;
                r.Source = args.Positionals.size() > 0 ? args.Positionals[0] : "";
                r.Out = args.Positionals.size() > 1 ? args.Positionals[1] : "";
                r.Map = args.Value("map");
                if (args.Has("volume")) {
                    const std::string v = args.Value("volume");
                    char* end = nullptr;
                    const unsigned long n = std::strtoul(v.c_str(), &end, 10);
                    if (v.empty() || *end != '\0' || n == 0 || n > 0xFFFFFFFFul) {
                        err << "brivo-recovery-cli: error: --volume needs a volume number (1, 2, ...)\n";
                        return kExitUsage;
                    }
                    r.Volume = static_cast<uint32_t>(n);
                }
                return RunImage(r, out, err);
            }};
}

} // namespace brivo::cli
