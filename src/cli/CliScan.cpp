#include "cli/CliScan.h"

#include <unistd.h>

#include <algorithm>
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <iomanip>
#include <optional>
#include <sstream>

#include "cli/CliHost.h"
#include "cli/CliInfo.h"
#include "cli/CliSignals.h"
#include "cli/Json.h"
#include "cli/TextWidth.h"
#include "core/Text.h"
#include "core/ScanChoices.h"
#include "core/ScanErrors.h"
#include "core/ScanLog.h"
#include "core/SourceSelection.h"
#include "core/TextFormat.h"
#include "driver/ContentTypes.h"
#include "driver/UnreadableResults.h"
#include "driver/ScanDriver.h"
#include "driver/Engine.h"
#include "driver/FsReaders.h"
#include "driver/ScopeLookup.h"
#include "driver/PathMask.h"
#include "platform/DateTime.h"
#include "platform/Devices.h"
#include "platform/Paths.h"
#include "platform/RawSource.h"
#include "platform/SameVolume.h"
#include "platform/Ticks.h"
#include "platform/UniqueFd.h"
#include "results/Recovery.h"
#include "results/RecoveryBatch.h"
#include "results/ResultsModel.h"
#include "volumes/VolumeList.h"
#include "volumes/MappedImage.h"

namespace brivo::cli {

namespace {

const char* const kSortNames[] = {"file", "path", "size", "modified", "condition"};

// How often a Stop is sent again to the engine tool while the work has not ended: the
// runner can only end a tool that has started.
constexpr uint64_t kStopRepeatMs = 250;

int IndexOf(const char* const* names, size_t n, const std::string& v) {
    for (size_t i = 0; i < n; ++i)
        if (v == names[i]) return static_cast<int>(i);
    return -1;
}

std::vector<TOptionSpec> ScanOptions() {
    std::vector<std::string> whereNames, whatNames;
    for (const auto& k : kWhereKinds) whereNames.emplace_back(k.CliName);
    for (const auto& k : kWhatCategories) whatNames.emplace_back(k.CliName);
    return {
        {"where", "KIND", WhereCliNames() + " (default: from SOURCE)", whereNames, ""},
        {"scope", "FOLDER", "keep only results inside FOLDER of the volume (e.g. /Users/Bob)", {}, ""},
        {"filter", "CATEGORY", "mask category: " + WhatCliNames(), whatNames, kWhatCategories[kWhatAllCustom].CliName},
        {"masks", "TEXT", "comma-separated file masks, replacing the category's (e.g. \"*.jpg,*.png\")", {}, ""},
        {"sort", "KEY[:desc]", "file, path, size, modified or condition, optionally :desc", {}, ""},
        {"deep", "", "also search free space for lost folders (FAT; exFAT in every scan) and earlier $MFT records (NTFS), then "
                     "search it for files by their content (slower; skipped, with a note, when the scan is narrowed to "
                     "a folder, as such files have no folder); a file system that cannot be read is searched "
                     "by content alone", {}, ""},
        {"content-only", "", "find files by their content alone, over the whole volume (formatted cards, "
                             "unknown file systems)", {}, ""},
        {"types", "LIST", "with --deep or --content-only: the kinds to search for by content, comma-separated "
                          "(e.g. jpg,pdf,docx; default: those the masks name, else every kind)", {}, ""},
        {"save", "FILE", "save the scan to FILE, to reopen it with recover --from-scan FILE", {}, ""},
        {"volume", "N", "the volume of a partitioned disk or image to read (the number 'info' lists)", {}, ""},
        {"map", "FILE", "the map of an image copied with 'image' (default: IMAGE.map when there is one): the "
                        "areas it does not mark copied read as unreadable, as on the disk", {}, ""},
        {"show-hidden", "", "list every deleted entry: mask \"*\" and no cleanup filter", {}, ""},
        {"verbose", "", "print the scan log on stderr (also -v)", {}, ""},
    };
}

// Everything the scan and recover commands share.
struct TScanRun {
    TScanState State;
    TEngineContext Engine;
    std::unique_ptr<TCliHost> Host;
    TScanRoute Route = TScanRoute::Fls;
    bool Stopped = false;  // Ctrl-C ended the scan: the results are what it found until then
    ~TScanRun() {
        if (!Engine.FToolsDir.empty()) DeleteExtractedBinaries(Engine);
    }
};

TScanWhere DefaultWhere(const std::string& source) {
    if (IsDeviceSource(source)) return TScanWhere::swDisk;
    if (FileExists(source)) return TScanWhere::swDiskImage;
    if (DirectoryExists(source)) return TScanWhere::swFolder;
    // A device name such as sdb1; a bare name that is no device is a missing image, and
    // is reported under its own name, not as /dev/NAME.
    if (ResolveSourceArgument(source) != source) return TScanWhere::swDisk;
    return TScanWhere::swDiskImage;  // a missing image: the image kind reports it
}

struct TSortChoice {
    TSortState Sort;
    bool Ok = true;
};

TSortChoice ParseSort(const std::string& text) {
    TSortChoice r;
    if (text.empty()) return r;
    std::string key = text;
    bool desc = false;
    if (auto colon = key.find(':'); colon != std::string::npos) {
        const std::string dir = key.substr(colon + 1);
        key.resize(colon);
        if (dir == "desc") desc = true;
        else if (dir != "asc") r.Ok = false;
    }
    const int col = IndexOf(kSortNames, 5, key);
    if (col < 0) r.Ok = false;
    r.Sort.FSortColumn = col;
    r.Sort.FSortAscending = !desc;
    return r;
}

// The kinds of a --types list ("jpg, PDF,docx"); unknown is set to the first one the
// content search does not know.
std::vector<std::string> ParseContentTypes(const std::string& text, std::string& unknown) {
    std::vector<std::string> types;
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        std::string t(TrimView(rest.substr(0, comma)));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (t.empty()) continue;
        if (!IsKnownContentType(t)) {
            unknown = t;
            return {};
        }
        types.push_back(std::move(t));
    }
    return types;
}

// Runs one scan to its idle step. Returns the exit code: 0, 1 (scan failed), 2 (usage).
// Opens a saved scan in place of scanning (recover --from-scan).
int OpenSavedScanRun(const TParsedArgs& args, TScanRun& run, std::ostream& err) {
    run.Host = std::make_unique<TCliHost>(args.Has("verbose"), ::isatty(2) != 0);
    TCliHost& host = *run.Host;
    ExtractEmbeddedBinaries(run.Engine);
    // The SOURCE, when given, is read in place of the path the scan stored: a device by
    // its name or path, an image, or a mounted folder (its volume).
    std::string source;
    if (!args.Positionals.empty()) {
        source = args.Positionals.at(0);
        if (DirectoryExists(source)) {
            TScanChoice choice;
            choice.Where = TScanWhere::swFolder;
            choice.FolderPath = source;
            TScanSource s;
            if (!BuildScanSource(choice, host, s)) return kExitFailure;
            source = s.Src;
        } else if (IsDeviceSource(source) || (!FileExists(source) && source.find('/') == std::string::npos)) {
            source = DevicePathFor(source);
        } else if (!FileExists(source)) {
            err << "brivo-recovery-cli: error: No such file or directory: " << source << "\n";
            return kExitFailure;
        } else if (source.front() != '/') {
            source = std::filesystem::absolute(source).lexically_normal().string();
        }
    }
    TScanDriver driver(run.State, run.Engine, host);
    driver.OpenSavedScan(args.Value("from-scan"), source);
    host.Pump([&] { return !driver.Busy(); }, [&] {
        if (Interrupted() && driver.Busy()) driver.tbStopClick();
    });
    driver.Shutdown();
    run.Route = driver.LastRoute();
    run.Stopped = Interrupted();
    if (host.failed()) return kExitFailure;
    if (run.State.FFound.empty() && run.State.FLastSrcForFls.empty()) {
        err << "brivo-recovery-cli: error: the saved scan could not be opened\n";
        return kExitFailure;
    }
    return kExitOk;
}

// A step of RunScan that may end it: kGoOn, or the exit code to end with.
constexpr int kGoOn = -1;

// The options that do not depend on the source: what to list, how deep, in which order,
// which volume.
int ReadScanOptions(const TParsedArgs& args, TScanChoice& choice, std::ostream& err) {
    FindWhatByCliName(args.Value("filter"), choice.WhatIndex);  // "all" unless given
    for (int i = 0; i < kWhatCount; ++i) choice.MaskTexts[static_cast<size_t>(i)] = DefaultMaskText(i);
    if (args.Has("masks")) choice.MaskTexts[static_cast<size_t>(choice.WhatIndex)] = args.Value("masks");
    choice.WhatText = kWhatCategories[static_cast<size_t>(choice.WhatIndex)].Caption;
    choice.ShowHidden = args.Has("show-hidden");
    choice.Deep = args.Has("deep");
    choice.ContentOnly = args.Has("content-only");
    if (args.Has("types")) {
        if (!choice.Deep && !choice.ContentOnly) {
            err << "brivo-recovery-cli: error: --types needs --deep or --content-only\n";
            return kExitUsage;
        }
        std::string unknown;
        choice.ContentTypes = ParseContentTypes(args.Value("types"), unknown);
        if (!unknown.empty() || choice.ContentTypes.empty()) {
            std::string known;
            for (const std::string& t : KnownContentTypes()) known += (known.empty() ? "" : ",") + t;
            err << "brivo-recovery-cli: error: --types: "
                << (unknown.empty() ? std::string("no kind given") : "unknown kind \"" + unknown + "\"")
                << "; known kinds: " << known << "\n";
            return kExitUsage;
        }
    }
    if (args.Has("volume")) {
        const std::string v = args.Value("volume");
        const bool digits = !v.empty() && v.size() <= 9 && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits || std::stoul(v) == 0) {
            err << "brivo-recovery-cli: error: --volume takes a volume number as 'info' lists it (1, 2, ...)\n";
            return kExitUsage;
        }
        choice.Volume = static_cast<uint32_t>(std::stoul(v));
    }
    return kGoOn;
}

// The source to read, by the core's source-selection rule for what SOURCE is (a disk, an
// image, a mounted folder), then narrowed as the options say: to a folder of an image or
// device (--scope), or to the Recycle Bin (--where recycle). where becomes the kind the
// scan is logged as.
int ChooseScanSource(const std::string& source, const std::string& scope, TScanWhere& where, TScanChoice& choice,
                     TCliHost& host, TScanSource& out) {
    const bool recycle = where == TScanWhere::swRecycleBin;
    choice.Where = recycle ? DefaultWhere(source) : where;
    switch (choice.Where) {
        case TScanWhere::swDisk: choice.DiskText = source; break;
        case TScanWhere::swDiskImage: choice.ImagePath = source; break;
        default: choice.FolderPath = source; break;
    }
    try {
        if (!BuildScanSource(choice, host, out)) return kExitFailure;
    } catch (const std::exception& e) {
        host.ShowError(e.what());
        return kExitFailure;
    }
    if (recycle) {
        out.Where = TScanWhere::swRecycleBin;
        out.PathFilter = "/$Recycle.Bin";
    } else if (!scope.empty()) {
        out.Where = TScanWhere::swFolder;
        out.PathFilter = NormalizeFolderFilter(scope);
        where = TScanWhere::swFolder;
    }
    choice.WhereText = WhereKindInfo(where).Caption;
    return kGoOn;
}

// The volume list of a disk or image, made once here and handed to the scan. A volume
// choice that cannot be made is a usage error (the user has to name one), unlike a
// source that cannot be read, which the scan reports. Null when the scan lists itself
// (a mounted folder's volume, a narrowed scan, a source that cannot be read).
int ListScanVolumes(const TScanSource& source, const TScanChoice& choice, bool listHere,
                    std::shared_ptr<const TSourceVolumes>& out, std::ostream& err) {
    if (!listHere) return kGoOn;
    try {
        auto vols = std::make_shared<const TSourceVolumes>(ListVolumes(source.Src));
        const std::string cutShort = CutShortWarning(*vols, ChooseVolume(*vols, choice.Volume));
        if (!cutShort.empty()) err << "Warning: " << cutShort << "\n";
        out = std::move(vols);
    } catch (const TSeveralVolumesError& e) {
        err << "brivo-recovery-cli: error: " << e.what() << "\nChoose one with --volume N.\n";
        return kExitUsage;
    } catch (const TNoSuchVolumeError& e) {
        err << "brivo-recovery-cli: error: " << e.what() << "\n";
        return kExitUsage;
    } catch (const TVolumeChoiceError& e) {
        // A damaged table, or a volume that lies outside the source: the source is bad.
        err << "brivo-recovery-cli: error: " << e.what() << "\n";
        return kExitFailure;
    } catch (const std::exception&) {
        // The scan itself reports a source that cannot be read.
    }
    return kGoOn;
}

// Pumps the host until the driver is idle; Ctrl-C sends Stop, and again to a tool that
// started after the first one.
void PumpUntilIdle(TScanDriver& driver, TScanRun& run, TCliHost& host) {
    bool stopSent = false;
    uint64_t lastStop = 0;
    host.Pump([&] { return !driver.Busy(); },
              [&] {
                  if (!Interrupted() || !driver.Busy()) return;
                  if (!stopSent) {
                      stopSent = true;
                      driver.tbStopClick();
                      lastStop = GetTickCount64();
                  } else if (GetTickCount64() - lastStop >= kStopRepeatMs) {
                      // A Stop that came just before a tool started found nothing to end.
                      run.Engine.FRunner.Stop();
                      lastStop = GetTickCount64();
                  }
              });
}

// What the scan's end tells the user besides its list: a stop, what was left out, what a
// deep scan would add, a file system that could not be read.
int ReportScanEnd(const TScanChoice& choice, const std::string& scope, TScanRun& run, std::ostream& err) {
    // However the race with the scan's own end went, a Ctrl-C during it is a stop: the
    // results are never taken for a complete listing.
    run.Stopped = Interrupted();
    if (run.Stopped) {
        err << Format("Scan stopped. Found entries: %d (what was read before the stop).", {run.State.FFound.size()})
            << "\n";
        return kExitOk;
    }
    if (run.Host->failed()) return kExitFailure;
    if (!scope.empty() && run.State.FFound.empty() && !ScopeFolderOnVolume(run.State, run.Engine, *run.Host)) {
        err << "brivo-recovery-cli: warning: the folder " << scope << " is not on the volume\n";
        return kExitFailure;
    }
    // A failing disk is named on every scan that met it, never left for the user to guess.
    if (const std::string unreadable = UnreadableWarningText(*run.State.FUnreadable); !unreadable.empty())
        err << unreadable << "\n";
    const uint64_t byMasks = run.State.FLastHiddenByMasks, byCleanup = run.State.FLastHiddenByCleanup;
    if (byMasks + byCleanup > 0)
        err << Format("Left out: %d deleted entries the masks did not match, %d hidden by the cleanup filter "
                      "(--show-hidden lists them).",
                      {byMasks, byCleanup})
            << "\n";
    if (choice.Deep && run.State.FLastWhereMode == TScanWhere::swFolder)
        err << FolderDeepScanNote(run.State.FLastSrcForFls) << "\n";
    if (run.State.FLastDeepMayFindMore && !choice.Deep)
        err << "A deleted folder continues past what the fast scan could read: a deep scan (--deep) may find more.\n";
    else if (run.State.FLastDeepSearchesFreeSpace && !run.Stopped)
        err << "A deep scan (--deep) also searches the volume's free space for files by their content.\n";
    if (!run.State.FLastFsUnreadable.empty())
        err << "brivo-recovery-cli: warning: " << run.State.FLastFsUnreadable
            << "\nThe file system could not be read; the whole volume was searched for files by their content.\n";
    return kExitOk;
}

int RunScan(const TParsedArgs& args, TScanRun& run, std::ostream& err) {
    if (args.Has("map") && !args.Positionals.empty()) UseRescueMap(args.Positionals.at(0), args.Value("map"));
    if (args.Has("from-scan")) return OpenSavedScanRun(args, run, err);
    if (args.Positionals.empty()) {
        err << "brivo-recovery-cli: error: give a SOURCE to scan\n";
        return kExitUsage;
    }
    const std::string source = args.Positionals.at(0);
    const std::string scope = args.Value("scope");
    TScanWhere where = DefaultWhere(source);
    if (args.Has("where")) FindWhereByCliName(args.Value("where"), where);  // the parser allowed only these
    const TSortChoice sort = ParseSort(args.Value("sort"));
    if (!sort.Ok) {
        err << "brivo-recovery-cli: error: --sort takes file, path, size, modified or condition, optionally with :desc\n";
        return kExitUsage;
    }
    if (where == TScanWhere::swDiskImage && !FileExists(source)) {
        err << "brivo-recovery-cli: error: No such file or directory: " << source << "\n";
        return kExitFailure;
    }
    if (!scope.empty() && where == TScanWhere::swRecycleBin) {
        err << "brivo-recovery-cli: error: --scope cannot be combined with --where recycle\n";
        return kExitUsage;
    }
    TScanChoice choice;
    if (const int code = ReadScanOptions(args, choice, err); code != kGoOn) return code;
    if (where == TScanWhere::swFolder && !scope.empty()) {
        err << "brivo-recovery-cli: error: --scope needs an image or device SOURCE; give the folder itself as SOURCE\n";
        return kExitUsage;
    }

    run.Host = std::make_unique<TCliHost>(args.Has("verbose"), ::isatty(2) != 0);
    TCliHost& host = *run.Host;
    const bool mountedFolder = where == TScanWhere::swFolder ||
                               (where == TScanWhere::swRecycleBin && DefaultWhere(source) == TScanWhere::swFolder);
    TScanSource scanned;
    if (const int code = ChooseScanSource(source, scope, where, choice, host, scanned); code != kGoOn) return code;
    std::shared_ptr<const TSourceVolumes> volumes;
    if (const int code = ListScanVolumes(scanned, choice, !mountedFolder && scope.empty(), volumes, err); code != kGoOn)
        return code;
    ExtractEmbeddedBinaries(run.Engine);

    host.onPopulate = [&] {
        ApplyCurrentSort(run.State.FFound, sort.Sort);
        SetStatusText(host, Format(host.Translate("Scan finished. Found entries: %d"), {run.State.FFound.size()}));
    };
    if (Interrupted()) {
        run.Stopped = true;
        return kExitOk;
    }
    TScanDriver driver(run.State, run.Engine, host);
    driver.ScanSource(scanned, choice, std::move(volumes));
    PumpUntilIdle(driver, run, host);
    driver.Shutdown();
    run.Route = driver.LastRoute();
    if (args.Has("save") && !host.failed() && !Interrupted()) {
        try {
            WriteSavedScan(driver.LastScanToSave(), args.Value("save"));
        } catch (const std::exception& e) {
            err << "brivo-recovery-cli: error: the scan could not be saved: " << e.what() << "\n";
            return kExitFailure;
        }
    }
    return ReportScanEnd(choice, scope, run, err);
}

// A --path-mask in the form results are shown in: "\\" read as "/", and a leading "/"
// added to a mask that starts with a name, so "Users/Bob/*" and "/Users/Bob/*" agree.
std::string PathMaskText(std::string mask) {
    std::replace(mask.begin(), mask.end(), '\\', '/');
    const bool drive = mask.size() >= 2 && mask[1] == ':';
    if (!mask.empty() && mask[0] != '/' && mask[0] != '*' && !drive) mask.insert(mask.begin(), '/');
    return mask;
}

// The engine's name of the scanned file system ("ntfs", "fat"; empty when it detects it).
std::string FsSwitchName(const std::string& fsSwitch) {
    const std::string prefix = " -f ";
    return fsSwitch.rfind(prefix, 0) == 0 ? fsSwitch.substr(prefix.size()) : fsSwitch;
}

// Tabs and line breaks inside a field would break a TSV row.
std::string TsvField(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return out;
}

const char* FoundByText(TFoundBy by) {
    switch (by) {
        case TFoundBy::DeepSweep: return "deep sweep";
        case TFoundBy::Content: return "content";
        case TFoundBy::Metadata: break;
    }
    return "metadata";
}

// Written result by result: a whole-volume listing can hold hundreds of thousands of
// results, and building the document first would cost several copies of it in memory.
void PrintJson(const TScanRun& run, std::ostream& out) {
    const TScanState& st = run.State;
    TJson head;
    head["source"] = st.FLastSrcForFls;
    head["where"] = WhereKindInfo(st.FLastWhereMode).CliName;
    // Numbered as 'info' numbers it: a source without a partition table is volume 1.
    head["volume"] = st.FLastVolume == 0 ? 1u : st.FLastVolume;
    head["fs_switch"] = FsSwitchName(st.FLastFsSwitch);
    head["route"] = RouteName(run.Route);
    head["stopped"] = run.Stopped;
    head["count"] = st.FFound.size();
    head["hidden_by_masks"] = st.FLastHiddenByMasks;
    head["hidden_by_cleanup"] = st.FLastHiddenByCleanup;
    // Offsets in the scanned volume, as the results' extents are.
    TJson unreadable = TJson::array();
    for (const TByteRange& a : st.FUnreadable->Areas()) {
        TJson o;
        o["offset"] = a.Offset;
        o["length"] = a.Length;
        unreadable.push_back(o);
    }
    head["unreadable"] = unreadable;
    head["results"] = TJson::array();
    // The head's text up to the empty array's closing "]}", then the results one by one.
    std::string text = JsonText(head);
    text.resize(text.size() - 2);
    out << text;
    for (size_t i = 0; i < st.FFound.size(); ++i) {
        const TFoundFile& f = st.FFound[i];
        TJson o;
        o["inode"] = f.Inode;
        o["path"] = ResultDisplayPath(f.FullPath);
        o["size"] = static_cast<int64_t>(f.SizeBytes);
        o["modified"] = f.HasModDate ? TJson(ModifiedIsoText(f)) : TJson(nullptr);
        o["created"] = f.HasCreateDate ? TJson(CreatedIsoText(f)) : TJson(nullptr);
        o["condition"] = ConditionCellText(f);
        o["score"] = f.DamageScore;
        o["found_by"] = FoundByText(f.FoundBy);
        // Where a content result starts in the volume: what names it when nothing else does.
        if (!f.Extents.empty()) o["offset"] = f.Extents.front().Offset;
        // A name whose content no map places: the content finds of its kind in its area.
        if (!f.Candidates.empty()) {
            TJson c = TJson::array();
            for (const std::string& p : f.Candidates) c.push_back(ResultDisplayPath(p));
            o["candidates"] = c;
        }
        if (i) out << ", ";
        out << JsonText(o);
    }
    out << "]}\n";
}

void PrintTsv(const TScanRun& run, std::ostream& out) {
    out << "inode\tpath\tsize\tmodified\tcondition\tscore\n";
    for (const auto& f : run.State.FFound)
        out << TsvField(f.Inode) << '\t' << TsvField(ResultDisplayPath(f.FullPath)) << '\t' << f.SizeBytes << '\t'
            << ModifiedCellText(f) << '\t' << TsvField(ConditionCellText(f)) << '\t' << f.DamageScore << '\n';
}

void PrintTable(const TScanRun& run, std::ostream& out) {
    const auto& found = run.State.FFound;
    std::vector<std::array<std::string, 6>> rows;
    rows.push_back({"Inode", "File", "Path", "Size", "Modified", "Condition"});
    for (const auto& f : found)
        rows.push_back({f.Inode, ResultCellText(f, rcFile), ResultCellText(f, rcPath), ResultCellText(f, rcSize),
                        ResultCellText(f, rcModified), ResultCellText(f, rcCondition)});
    // Widths count the columns a terminal gives each character, so names in any script
    // (two columns per CJK character) stay aligned; a longer cell is cut between two
    // characters (the tsv and json formats give every path whole).
    constexpr size_t kMaxColumns = 60;
    for (auto& r : rows)
        for (auto& cell : r) cell = FitColumns(TsvField(cell), kMaxColumns);
    auto width = [](const std::string& text) { return DisplayColumns(text); };
    std::array<size_t, 6> w{};
    for (const auto& r : rows)
        for (size_t c = 0; c < 6; ++c) w[c] = std::max(w[c], width(r[c]));
    for (const auto& r : rows) {
        std::string line;
        for (size_t c = 0; c < 6; ++c) {
            line += r[c];
            if (c + 1 < 6) line += std::string(w[c] > width(r[c]) ? w[c] - width(r[c]) + 2 : 2, ' ');
        }
        out << line << "\n";
    }
    out << Format(run.Stopped ? "Scan stopped. Found entries: %d" : "Scan finished. Found entries: %d", {found.size()})
        << "\n";
    bool heading = false;
    for (const auto& f : found) {
        if (f.Candidates.empty()) continue;
        if (!heading) out << "\nNames without content, and the files of their kind found in the same area:\n";
        heading = true;
        out << ResultDisplayPath(f.FullPath) << "\n";
        for (const std::string& c : f.Candidates) out << "    " << ResultDisplayPath(c) << "\n";
    }
}

int RunScanCommand(const TParsedArgs& args, std::ostream& out, std::ostream& err) {
    // From the start: a Ctrl-C at any moment of the command is a stop, never a kill that
    // leaves no output.
    const TStopOnInterrupt interrupt;
    TScanRun run;
    const int code = RunScan(args, run, err);
    if (code != kExitOk) return code;
    const std::string format = args.Value("format");
    if (format == "json") PrintJson(run, out);
    else if (format == "tsv") PrintTsv(run, out);
    else PrintTable(run, out);
    return run.Stopped ? kExitStopped : kExitOk;
}

// The rows to recover: every result (--all), or those whose address is one of inodes or
// whose shown path matches one of masks. Throws TNothingMatchedError when none is.
std::vector<size_t> ChooseRows(const TFoundFiles& found, bool all, const std::vector<std::string>& inodes,
                               const std::vector<TFileMask>& masks) {
    std::vector<size_t> rows;
    for (size_t i = 0; i < found.size(); ++i) {
        const TFoundFile& f = found[i];
        // A name whose content nothing places has nothing to copy: --all takes the finds
        // listed beside it instead; asked for by address or path, it says so.
        bool take = all && f.Candidates.empty();
        for (const auto& a : inodes) take = take || f.Inode == a;
        if (!masks.empty()) {
            const std::string shown = ResultDisplayPath(f.FullPath);
            for (const auto& m : masks) take = take || m.Matches(shown);
        }
        if (take) rows.push_back(i);
    }
    if (!rows.empty()) return rows;
    if (all) throw TNothingMatchedError("Nothing to recover: the scan found no deleted files that match.");
    throw TNothingMatchedError(Format("no result matches the given --inode / --path-mask (%d found; 'scan' lists them "
                                      "with their addresses and paths)",
                                      {found.size()}));
}

// The --report file. Each line goes out in one write, unbuffered: a program ended by a
// signal leaves whole lines only.
class TReportFile {
public:
    // 0, or the errno of the failure. The folder is created when missing.
    int Open(const std::string& path) {
        const std::filesystem::path parent = std::filesystem::path(path).parent_path();
        std::error_code ec;
        if (!parent.empty()) std::filesystem::create_directories(parent, ec);
        fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        return fd_ ? 0 : errno;
    }
    bool IsOpen() const { return static_cast<bool>(fd_); }
    void WriteLine(std::string line) {
        line += '\n';
        for (size_t done = 0; ok_ && done < line.size();) {
            const ssize_t n = ::write(fd_.get(), line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ok_ = false;
            else done += static_cast<size_t>(n);
        }
    }
    // Whether every line was written and the file closed without an error.
    bool Close() { return ::close(fd_.release()) == 0 && ok_; }

private:
    UniqueFd fd_;
    bool ok_ = true;
};

// One line of the recovery report: what was asked for, where it went, what was written.
std::string RecoveryRecordJson(const TRecoveryRecord& r) {
    static const char* const kOutcome[] = {"ok", "failed", "stopped", "damaged"};
    auto orNull = [](const std::string& s) { return s.empty() ? TJson(nullptr) : TJson(s); };
    TJson o;
    o["address"] = r.Address;
    o["path"] = ResultDisplayPath(r.Path);
    o["output"] = orNull(r.OutputPath);
    if (r.NameShortened) o["note"] = "name shortened: Linux allows 255 bytes in a name";
    o["size"] = static_cast<int64_t>(r.Size);
    o["sha256"] = orNull(r.Sha256);
    o["outcome"] = kOutcome[static_cast<int>(r.Outcome)];
    o["error"] = orNull(r.Error);
    if (r.Outcome == TRecoveryOutcome::Damaged) {
        TJson parts = TJson::array();
        for (const TByteRange& u : r.Unreadable) parts.push_back(TJson::array({u.Offset, u.Length}));
        o["unreadable"] = std::move(parts);
    }
    return JsonText(o);
}

int RunRecoverCommand(const TParsedArgs& args, std::ostream& out, std::ostream& err) {
    const bool all = args.Has("all");
    const auto inodes = args.Values("inode");
    const auto pathMasks = args.Values("path-mask");
    if (all == (!inodes.empty() || !pathMasks.empty())) {
        err << "brivo-recovery-cli: error: give --all, or --inode / --path-mask to choose what to recover\n";
        return kExitUsage;
    }
    std::vector<TFileMask> masks;
    try {
        for (const auto& m : pathMasks) masks.emplace_back(PathMaskText(m));
    } catch (const std::exception& e) {
        err << "brivo-recovery-cli: error: " << e.what() << "\n";
        return kExitUsage;
    }
    // Absolute, so the report and the messages name where the files went whatever the
    // working folder of whoever reads them.
    std::error_code ec;
    const std::string outDir = std::filesystem::absolute(args.Value("out"), ec).lexically_normal().string();

    const TStopOnInterrupt interrupt;  // the scan phase and the batch alike
    TScanRun run;
    const int code = RunScan(args, run, err);
    if (code != kExitOk) return code;
    TScanState& st = run.State;
    TCliHost& host = *run.Host;
    // Ctrl-C during the scan: the user wants out, not a recovery of what was found so far.
    if (run.Stopped) {
        out << "Recovery stopped before it started: nothing recovered.\n";
        return kExitStopped;
    }

    std::vector<size_t> rows;
    try {
        rows = ChooseRows(st.FFound, all, inodes, masks);
    } catch (const TNothingMatchedError& e) {
        if (all) {
            out << e.what() << "\n";
            return kExitOk;
        }
        err << "brivo-recovery-cli: error: " << e.what() << "\n";
        return kExitUsage;
    }
    if (all) {
        const auto nameOnly = std::count_if(st.FFound.begin(), st.FFound.end(),
                                            [](const TFoundFile& f) { return !f.Candidates.empty(); });
        if (nameOnly > 0)
            out << (nameOnly == 1 ? std::string("1 result is only a name and was left out: nothing says where its content is; "
                                                "the files of its kind found beside it are recovered with the rest.\n")
                                  : std::to_string(nameOnly) + " results are only names and were left out: nothing says where "
                                                               "their content is; the files of their kind found beside them are "
                                                               "recovered with the rest.\n");
    }
    if (!CheckRecoveryPreconditions(st, host, static_cast<int>(rows.size()))) return kExitFailure;
    // No option lets this through: the image's own folder is always a better place.
    if (OutputInsideSourceImage(st.FLastSrcForFls, outDir)) {
        err << "brivo-recovery-cli: error: The output folder " << outDir << " is on a file system stored in "
            << st.FLastSrcForFls << ", the image being scanned. Writing there would change that image and can "
               "overwrite the deleted files before they are recovered. Choose a folder outside it (beside the "
               "image, for example).\n";
        return kExitFailure;
    }
    if (OutputOnScannedDevice(st.FLastSrcForFls, outDir) && !args.Has("allow-same-volume")) {
        err << "brivo-recovery-cli: error: The output folder " << outDir << " is on " << st.FLastSrcForFls
            << ", the device being scanned. Writing there can overwrite the deleted files before they are "
               "recovered. Choose a folder on another device, or pass --allow-same-volume.\n";
        return kExitFailure;
    }
    if (Interrupted()) {
        out << "Recovery stopped before it started: nothing recovered.\n";
        return kExitStopped;
    }

    TReportFile report;
    TRecoveryBatchOptions options;
    if (args.Has("report")) {
        const std::string path = args.Value("report");
        if (const int e = report.Open(path)) {
            err << "brivo-recovery-cli: error: " << ErrnoText(e) << ": " << path << "\n";
            return kExitFailure;
        }
        options.OnRecord = [&report](const TRecoveryRecord& r) { report.WriteLine(RecoveryRecordJson(r)); };
        options.Hash = true;
    }
    options.KeepDamaged = args.Has("keep-damaged");

    TRecoveryBatch batch(st, host);
    try {
        batch.Start(rows, outDir, options);
    } catch (const std::exception& e) {
        err << "brivo-recovery-cli: error: " << e.what() << "\n";
        return kExitFailure;
    }
    bool stopSent = false;
    uint64_t lastStop = 0;
    host.Pump([&] { return !batch.Busy(); },
              [&] {
                  if (!Interrupted()) return;
                  if (!stopSent) {
                      stopSent = true;
                      batch.Stop();
                      lastStop = GetTickCount64();
                  } else if (GetTickCount64() - lastStop >= kStopRepeatMs) {
                      run.Engine.FRunner.Stop();  // as for the scan
                      lastStop = GetTickCount64();
                  }
              });
    batch.Shutdown();
    const TRecoverySummary& summary = batch.LastSummary();
    if (report.IsOpen() && !report.Close())
        err << "brivo-recovery-cli: error: the report could not be written completely: " << args.Value("report") << "\n";
    out << Format(summary.Stopped ? "Recovery stopped. OK: %d Failed: %d" : "Recovery finished. OK: %d Failed: %d",
                  {summary.Counts.OK, summary.Counts.Failed});
    if (summary.Counts.Damaged > 0) out << Format(" Damaged: %d", {summary.Counts.Damaged});
    out << "\n";
    // Which files, and why: a count alone leaves the user to search the log.
    for (const TRecoveryRecord& r : summary.Problems) out << "  " << RecoveryProblemText(r, host) << "\n";
    const int listed = static_cast<int>(summary.Problems.size());
    if (summary.Counts.Failed + summary.Counts.Damaged > listed)
        out << Format("  ... and %d more.", {summary.Counts.Failed + summary.Counts.Damaged - listed}) << "\n";
    if (summary.FailedUnreadable > 0 && !options.KeepDamaged)
        out << Format("%d file(s) failed because parts of them could not be read; --keep-damaged keeps them with "
                      "zeros in place of what could not be read.",
                      {summary.FailedUnreadable})
            << "\n";
    if (summary.Stopped)
        out << Format("Stopped: %d file(s) not recovered.", {summary.NotRecovered}) << "\n";
    return summary.Counts.Failed > 0 || summary.Counts.Damaged > 0 || summary.Stopped ? kExitSomeFailed : kExitOk;
}

TCommandSpec BaseSpec(const std::string& name) {
    TCommandSpec def;
    def.Name = name;
    def.Positionals = {{"SOURCE", "a disk image file, a device (sdb1 or /dev/sdb1) or a folder of a mounted volume"}};
    def.Options = ScanOptions();
    return def;
}

} // namespace

TCliCommand ScanCommand() {
    TCommandSpec def = BaseSpec("scan");
    def.Summary = "List the deleted files of a source.";
    def.Description =
        DirectFileSystemNames() +
        " are read directly; every other file system or container goes through The Sleuth Kit's fls. "
        "A regular file is scanned as a disk image, a directory as a folder of its mounted volume, a /dev path or "
        "device name as a disk. Ctrl-C stops the scan and lists what it found so far (JSON: \"stopped\": true). "
        "Exit codes: 0 success, 1 the scan failed, 2 bad usage, 3 stopped.";
    def.Options.push_back({"format", "FORMAT", "table, tsv or json", {"table", "tsv", "json"}, "table"});
    return {def, RunScanCommand};
}

TCliCommand RecoverCommand() {
    TCommandSpec def = BaseSpec("recover");
    def.Summary = "Scan a source and recover the chosen deleted files into a folder.";
    def.Description =
        "Scans as 'scan' does, chooses results with --all, --inode or --path-mask (a mask over the whole path, "
        "e.g. \"/Users/Bob/*\"), and writes each one under its path inside --out, as \"name (2).ext\" when the name "
        "is taken (nothing is overwritten). The files that failed or were kept damaged are listed after the "
        "summary, each with its reason. Ctrl-C stops after removing the file being written. Exit codes: 0 "
        "success (also when nothing matches --all), 1 the scan failed, 2 bad usage, 3 some recoveries failed, "
        "were kept damaged, or the scan or batch was stopped.";
    def.Options.push_back({"out", "DIR", "output folder (created when missing)", {}, ""});
    def.Options.push_back({"from-scan", "FILE", "recover from a scan saved with --save instead of scanning. "
                                                "SOURCE may be left out (the path the scan stored is read); when "
                                                "given, it is read instead and must be the scanned volume. Refused "
                                                "when the volume was written to since: the records each result "
                                                "was found from are checked", {}, ""});
    def.Options.push_back({"all", "", "recover every result", {}, ""});
    def.Options.push_back({"inode", "ADDR", "recover the result with this metadata address", {}, "", true});
    def.Options.push_back({"path-mask", "MASK", "recover results whose path matches MASK", {}, "", true});
    def.Options.push_back({"allow-same-volume", "", "allow writing onto the device being scanned (never into a "
                                                    "file system mounted from the image being scanned)", {}, ""});
    def.Options.push_back({"keep-damaged", "", "keep files with unreadable parts, zeros in their place "
                                               "(outcome \"damaged\" in the report)", {}, ""});
    def.Options.push_back({"report", "FILE", "write one JSON line per result (address, path, output, size, sha256, "
                                             "outcome, error, and a note when a name was shortened) to FILE (its folder created when missing)", {}, ""});
    return {def, [](const TParsedArgs& args, std::ostream& out, std::ostream& err) {
                if (args.Value("out").empty()) {
                    err << "brivo-recovery-cli: error: recover needs --out DIR\n";
                    return kExitUsage;
                }
                return RunRecoverCommand(args, out, err);
            }};
}

} // namespace brivo::cli
