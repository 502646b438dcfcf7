// The engine's route: its listing of the volume's files, and on a deep scan its map of
// the free space for the content search, with the errors of both in words.
#include <stdexcept>

#include <unistd.h>

#include <cerrno>

#include "carve/ContentSearch.h"
#include "core/ScanLog.h"
#include "core/Text.h"
#include "core/TextFormat.h"
#include "driver/DeepContent.h"
#include "driver/ScanDriver.h"
#include "driver/ScanDriverParts.h"
#include "engine/CommandLine.h"
#include "engine/ToolOutputDecode.h"
#include "tskparse/BlklsList.h"
#include "tskparse/ExtJournalTail.h"
#include "tskparse/FlsOutputParser.h"
#include "tskparse/PathInode.h"
#include "platform/Devices.h"

namespace brivo {

namespace {

std::string TrimBlanks(const std::string& s) { return std::string(TrimView(s)); }

// The error of an engine listing that failed, in words, with the engine's text after.
std::string EngineListingError(const TScanState& st, const std::string& fsName, const std::string& toolText) {
    std::string where = st.FLastSrcForFls;
    if (st.FLastVolume != 0) where += Format(", volume %d", {st.FLastVolume});
    std::string msg = fsName.empty()
                          ? "No known file system was found on " + where +
                                ": it is not a disk image, or it holds a file system the program cannot read. A deep scan "
                                "still searches it for lost NTFS records and for files by their content."
                          : "The engine tools could not list the files of the " + fsName + " file system on " + where + ".";
    // The engine's guesses about bytes it cannot name ("Possible encryption detected")
    // say less than the sentence above and alarm for nothing: they stay in the log.
    const bool guess = toolText.find("Cannot determine file system type") != std::string::npos ||
                       toolText.find("Possible encryption detected") != std::string::npos;
    if (!toolText.empty() && !(fsName.empty() && guess)) msg += "\nEngine: " + toolText;
    // The engine tools open the disk themselves, as the user: the read-only opening the
    // disk service hands this program cannot be passed on to them.
    if (IsDeviceSource(st.FLastSrcForFls) && ::access(st.FLastSrcForFls.c_str(), R_OK) != 0 &&
        (errno == EACCES || errno == EPERM))
        msg += "\nThe engine tools cannot read a disk that you may not open yourself. Save a disk image of it "
               "first (Save Disk Image in the window, 'brivo-recovery-cli image' on the command line) and scan the "
               "image, or run the program as root.";
    return msg;
}

} // namespace

bool TScanDriver::RunEngineRoute(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen,
                                 const TReaderOptions& opts) {
    route_ = TScanRoute::Fls;
    // A deep scan searches the free space after the listing, through this opening.
    std::shared_ptr<TByteSource> volume;
    if (opts.Deep && WholeVolume(source)) volume = std::move(volume_);
    volume_.reset();
    auto content = std::make_shared<TFoundFiles>();
    const std::string fsName = chosen.Volume.Fs.Name;
    std::string startInode;
    TToolCommand cmd;
    try {
        // A container the engine cannot open ends here, with what to do instead.
        const std::vector<std::string> volumeArgs = EngineVolumeArgs(*chosen.Volumes, chosen.Volume);
        if (source.Where == TScanWhere::swFolder || source.Where == TScanWhere::swRecycleBin) {
            startInode = ResolvePathInode(st_, engine_, host_, source.Src, source.PathFilter);
            Log(host_, Format("Resolved start directory inode: %s (path %s)", {startInode, source.PathFilter}));
        }
        cmd.Program = RequireTool(engine_, host_, "fls");
        cmd.AddWords(st_.FLastFsSwitch);
        for (const auto& a : volumeArgs) cmd.Add(a);
        cmd.Add("-r").Add("-p").Add("-m").Add("/").Add("-d").AddPath(source.Src);
        const std::string start = TrimBlanks(startInode);
        if (!start.empty()) cmd.Add(start);
    } catch (const std::exception& e) {
        Fail(e.what());
        return true;
    }
    Log(host_, "Fallback to fls for non-NTFS scan path.");
    Log(host_, "> " + cmd.Display());

    auto out = std::make_shared<std::string>();
    auto unlisted = std::make_shared<std::string>();  // why the listing failed, on a deep scan
    auto parsed = std::make_shared<bool>(false);
    StartWorker(
        [this, cmd, out, fsName, volume, content, unlisted, parsed, opts, types = ContentTypesOf(choice)] {
            // The listing streams in; the status shows how far it got and for how long.
            const std::string listing = host_.Translate("Listing files with the engine tools...");
            TDriverReport report(host_, st_, startMs_);
            uint64_t lines = 0;
            uint64_t lastShown = 0;
            const TChildEnd end = engine_.FRunner.RunStreaming(cmd.Program, cmd.Args, [&](std::span<const uint8_t> piece) {
                if (out->size() + piece.size() > TTSKRunner::kDefaultMaxCaptureBytes)
                    throw std::runtime_error("The engine tool wrote more than 1024 MiB; it was stopped.");
                out->append(reinterpret_cast<const char*>(piece.data()), piece.size());
                for (uint8_t b : piece) lines += b == '\n';
                const uint64_t now = DriverClockMs();
                if (now - lastShown >= 250) {
                    lastShown = now;
                    report.Progress(0, 0, listing + " " + Format(host_.Translate("%d entries so far"), {lines}));
                }
            });
            // A listing tool that could not read its source prints why and exits non-zero;
            // showing that as "0 files found" would tell the user the files are gone.
            if (!end.Stopped && !st_.StopRequested()) {
                const std::string failure = TTSKRunner::FailureMessage(end);
                if (end.ExitCode != 0) {
                    SafeLog(host_, "Engine: " + failure);
                    const std::string why = EngineListingError(st_, fsName, failure);
                    if (!volume) throw std::runtime_error(why);
                    // A deep scan still has the volume's bytes: what cannot be listed by
                    // name is searched for by content, everywhere.
                    *unlisted = why;
                    out->clear();
                    SafeLog(host_, why);
                    TFreeSpaceSearch all;
                    all.Types = types;
                    *content = SearchFreeSpace(*volume, report, std::move(all));
                    return;
                }
                if (!failure.empty()) SafeLog(host_, "Engine: " + failure);
            }
            *out = DecodeToolOutput(*out);
            if (!volume) return;
            // The listing is parsed here so the content finds can be checked against the
            // files it keeps (the worker owns the results until it ends).
            SafeLog(host_, "fls completed.");
            ParseFlsOutput(st_, host_, *out, st_.FLastWhereMode, opts.Masks, opts.Cleanup);
            out->clear();
            *parsed = true;
            *content = SearchEngineFreeSpace(*volume, types);
        },
        [this, out, opts, content, unlisted, parsed] {
            if (unlisted->empty() && !*parsed) {
                Log(host_, "fls completed.");
                ParseFlsOutput(st_, host_, *out, st_.FLastWhereMode, opts.Masks, opts.Cleanup);
            }
            out->clear();
            st_.FFound.insert(st_.FFound.end(), std::make_move_iterator(content->begin()),
                              std::make_move_iterator(content->end()));
            content->clear();
            Complete();
            if (!unlisted->empty()) SayContentOnly(*unlisted);
        });
    return true;
}

TToolCommand TScanDriver::EngineBase() const {
    TToolCommand base;
    base.AddWords(st_.FLastFsSwitch);
    for (const auto& a : EngineVolumeArgs(*chosen_.Volumes, chosen_.Volume)) base.Add(a);
    return base;
}

TFoundFiles TScanDriver::SearchEngineFreeSpace(TByteSource& volume, std::vector<std::string> types) {
    if (st_.StopRequested()) return {};
    TDriverReport report(host_, st_, startMs_);
    TFreeSpaceSearch search;
    search.Types = std::move(types);
    uint64_t unit = 0;
    try {
        // The engine's unit size, then its list of the unallocated units, read as it streams.
        const TToolCommand base = EngineBase();
        TToolCommand fsstat = base;
        fsstat.Program = RequireTool(engine_, host_, "fsstat");
        fsstat.AddPath(st_.FLastSrcForFls);
        Log(host_, "> " + fsstat.Display());
        const std::string fsstatText = engine_.FRunner.RunCaptureText(fsstat.Program, fsstat.Args);
        unit = FsstatUnitBytes(fsstatText);
        TToolCommand blkls = base;
        blkls.Program = RequireTool(engine_, host_, "blkls");
        blkls.Add("-l").AddPath(st_.FLastSrcForFls);
        if (unit == 0) throw std::runtime_error("the engine named no block size");
        Log(host_, "> " + blkls.Display());
        report.Progress(0, 0, host_.Translate("Reading the free space map with the engine tools..."));
        TBlklsFreeList list;
        const TChildEnd end = engine_.FRunner.RunStreaming(blkls.Program, blkls.Args,
                                                           [&](std::span<const uint8_t> piece) { list.Feed(piece); });
        list.Finish();
        // What ext4 reserved but never wrote since the format holds what was there before.
        const auto uninit = FsstatUninitBlockRanges(fsstatText);
        for (const auto& [first, last] : uninit) list.AddRun(first, last - first + 1);
        if (!uninit.empty()) Log(host_, Format("Free space: %d block ranges never written since the format", {uninit.size()}));
        AddUnwrittenJournal(volume, base, fsstatText, unit, list);
        if (end.Stopped || st_.StopRequested()) return {};
        if (const std::string failure = TTSKRunner::FailureMessage(end); end.ExitCode != 0)
            throw std::runtime_error(failure);
        search.Areas = list.Areas(unit, volume.Size());
        search.AreasKnown = true;
        if (unit <= (64u << 20)) search.ClusterBytes = static_cast<uint32_t>(unit);
        Log(host_, Format("Free space: %d blocks of %d bytes", {list.Blocks(), unit}));
    } catch (const std::exception& e) {
        // Without the map the whole volume is searched: slower, and it finds the same.
        Log(host_, std::string("The free space map could not be read (") + e.what() + "); searching the whole volume.");
    }
    TFoundFiles found = SearchFreeSpace(volume, report, std::move(search));
    if (!found.empty() && unit != 0) DropListedStarts(found, unit);
    return found;
}

void TScanDriver::DropListedStarts(TFoundFiles& found, uint64_t unit) {
    // A deleted file the engine lists with its blocks (an inode an unzeroed inode table
    // kept) lies in the free space too: its content find is the same file a second time.
    // Only listed files that stay in the results count, so a file hidden by the masks or
    // the cleanup filter still comes back by its content. Each address costs a run of
    // istat, so a listing of very many is not checked.
    constexpr size_t kMaxChecked = 2000;
    std::vector<std::string> addresses;
    for (const TFoundFile& f : st_.FFound)
        if (f.IsDeleted && !f.IsDir && f.SizeBytes > 0 && !f.Inode.empty()) addresses.push_back(f.Inode);
    if (addresses.size() > kMaxChecked) {
        Log(host_, Format("Content search: over %d deleted files listed; finds are not checked against them.", {kMaxChecked}));
        return;
    }
    std::vector<uint64_t> starts;
    try {
        TToolCommand istat = EngineBase();
        istat.Program = RequireTool(engine_, host_, "istat");
        istat.AddPath(st_.FLastSrcForFls);
        for (const std::string& address : addresses) {
            if (st_.StopRequested()) return;
            TToolCommand one = istat;
            one.Add(address);
            const std::vector<uint64_t> first = IstatDirectBlocks(engine_.FRunner.RunCaptureText(one.Program, one.Args), 1);
            if (!first.empty() && first[0] != 0 && first[0] <= UINT64_MAX / unit) starts.push_back(first[0] * unit);
        }
    } catch (const std::exception& e) {
        Log(host_, std::string("The listed files' blocks could not be read (") + e.what() + ").");
        return;
    }
    const size_t before = found.size();
    DropKnownStarts(found, std::move(starts));
    if (before != found.size())
        Log(host_, Format("Content search: %d finds left out, already listed by the file system", {before - found.size()}));
}

void TScanDriver::AddUnwrittenJournal(TByteSource& volume, const TToolCommand& base, const std::string& fsstatText,
                                      uint64_t unit, TBlklsFreeList& list) {
    const uint64_t inode = FsstatJournalInode(fsstatText);
    if (inode == 0 || st_.StopRequested()) return;
    try {
        TToolCommand istat = base;
        istat.Program = RequireTool(engine_, host_, "istat");
        istat.AddPath(st_.FLastSrcForFls).Add(std::to_string(inode));
        Log(host_, "> " + istat.Display());
        // A journal is at most a few GiB: 2^22 blocks bound the list at any block size.
        const std::vector<uint64_t> blocks = IstatDirectBlocks(engine_.FRunner.RunCaptureText(istat.Program, istat.Args), 1u << 22);
        const std::vector<uint64_t> unwritten =
            JournalUnwrittenBlocks(blocks.size(), [&](uint64_t i, uint8_t* buf, size_t n) {
                return blocks[i] <= UINT64_MAX / unit && volume.ReadExact(blocks[i] * unit, buf, n);
            });
        for (uint64_t i : unwritten) list.AddRun(blocks[i], 1);
        if (!unwritten.empty())
            Log(host_, Format("Free space: %d journal blocks never written since the format", {unwritten.size()}));
    } catch (const std::exception& e) {
        Log(host_, std::string("The journal could not be read (") + e.what() + "); its blocks are not searched.");
    }
}

} // namespace brivo
