#include "results/RecoveryBatch.h"

#include <memory>
#include <stdexcept>

#include "core/ScanLog.h"
#include "core/Text.h"
#include "core/TextFormat.h"
#include "platform/LongPath.h"
#include "platform/Ticks.h"
#include "results/ResultsModel.h"

namespace brivo {

namespace {

// Opening and closing a file costs about as much as copying this many bytes, so a batch
// of many small files and one of a few large ones both move the bar evenly.
constexpr uint64_t kFileWeight = 64 * 1024;
constexpr uint64_t kProgressEveryMs = 100;

uint64_t ExpectedSize(const TFoundFile& f) { return f.SizeBytes > 0 ? static_cast<uint64_t>(f.SizeBytes) : 0; }

// Spaces the worker's progress steps: a step per file would flood the UI queue on a batch
// of a hundred thousand small files.
class TProgressPacer {
public:
    TProgressPacer(TScanHost& host, size_t files, uint64_t bytes)
        : host_(host), files_(files), max_(files * kFileWeight + bytes) {}

    void FileStart(size_t index, const std::string& path, uint64_t bytesBefore) {
        index_ = index;
        done_ = index * kFileWeight + bytesBefore;
        text_ = Format(host_.Translate("Recovering %d of %d: %s"), {index + 1, files_, path});
        Report(index == 0);
    }
    void Bytes(uint64_t bytesBefore, uint64_t written) {
        done_ = index_ * kFileWeight + bytesBefore + written;
        Report(false);
    }

private:
    void Report(bool force) {
        const uint64_t now = GetTickCount64();
        if (!force && now - last_ < kProgressEveryMs) return;
        last_ = now;
        SafeProgress(host_, std::min(done_, max_), max_, text_);
    }

    TScanHost& host_;
    size_t files_;
    uint64_t max_;
    size_t index_ = 0;
    uint64_t done_ = 0;
    uint64_t last_ = 0;
    std::string text_;
};

} // namespace

TRecoveryBatch::TRecoveryBatch(TScanState& state, TScanHost& host) : st_(state), host_(host) {}

TRecoveryBatch::~TRecoveryBatch() { Shutdown(); }

void TRecoveryBatch::Shutdown() {
    if (!worker_.joinable()) return;
    st_.FStopRequested = true;
    if (st_.FStopTools) st_.FStopTools();
    worker_.join();
}

void TRecoveryBatch::JoinWorker() {
    // The previous worker queued its idle step as its very last act: this returns at once.
    if (worker_.joinable()) worker_.join();
}

void TRecoveryBatch::Stop() {
    if (!busy_) return;
    st_.FStopRequested = true;
    if (st_.FStopTools) st_.FStopTools();
    Log(host_, "Stop requested.");
    SetStatusText(host_, host_.Translate("Stop requested..."));
}

bool TRecoveryBatch::Start(std::vector<size_t> rows, const std::string& folder, TRecoveryBatchOptions options) {
    if (busy_) return false;
    ForceDirectoriesLong(folder);
    JoinWorker();
    busy_ = true;
    st_.FStopRequested = false;
    SetBusy(host_, true);
    SetStatusText(host_, host_.Translate("Recovering selected files..."));
    worker_ = std::thread([this, rows = std::move(rows), folder, options = std::move(options)] {
        try {
            Run(rows, folder, options);
        } catch (const std::exception& e) {
            // Nothing was recovered (the source could not be opened): every row failed.
            TRecoverySummary s;
            s.Folder = folder;
            s.Counts.Failed = static_cast<int>(rows.size());
            s.Text = Format(host_.Translate("Recovery finished. OK: %d Failed: %d"), {0, s.Counts.Failed});
            host_.Queue([this, s, msg = std::string(e.what())] {
                summary_ = s;
                Log(host_, "ERROR: " + msg);
                host_.ShowError(msg);
            });
        }
        host_.Queue([this] {
            SetBusy(host_, false);
            busy_ = false;
        });
    });
    return true;
}

void TRecoveryBatch::Run(const std::vector<size_t>& rows, const std::string& folder,
                         const TRecoveryBatchOptions& options) {
    TRecoverySummary s;
    s.Folder = folder;

    // The factory may open the source (a container, a partition): not on the UI thread.
    std::unique_ptr<TExtractor> extractor;
    if (st_.FMakeExtractor) extractor = st_.FMakeExtractor();
    if (!extractor) throw std::runtime_error(host_.Translate("Nothing to recover: please run Scan first."));

    uint64_t totalBytes = 0;
    for (size_t row : rows)
        if (row < st_.FFound.size()) totalBytes += ExpectedSize(st_.FFound[row]);
    TProgressPacer pacer(host_, rows.size(), totalBytes);

    TRecoveryFolders folders;
    TRecoverOneOptions one;
    one.Folders = &folders;
    one.Hash = options.Hash;
    one.KeepDamaged = options.KeepDamaged;
    uint64_t bytesBefore = 0;
    one.OnBytes = [&](uint64_t written) { pacer.Bytes(bytesBefore, written); };
    for (size_t k = 0; k < rows.size(); ++k) {
        if (st_.StopRequested()) {
            s.Stopped = true;
            s.NotRecovered = rows.size() - k;
            break;
        }
        TRecoveryRecord rec;
        rec.Row = rows[k];
        if (rec.Row >= st_.FFound.size()) {
            ++s.Counts.Failed;
            rec.Error = "no such result";
            Log(host_, "RECOVER ERROR: row " + std::to_string(rec.Row) + " -> " + rec.Error);
            if (options.OnRecord) options.OnRecord(rec);
            continue;
        }
        // A copy, so nothing here points into FFound while RecoverOne runs.
        const TFoundFile f = st_.FFound[rec.Row];
        rec.Address = f.Inode;
        rec.Path = f.FullPath;
        pacer.FileStart(k, f.FullPath, bytesBefore);
        try {
            const TRecoveredFile out = RecoverOne(st_, host_, *extractor, f, folder, one);
            rec.Outcome = out.Damaged ? TRecoveryOutcome::Damaged : TRecoveryOutcome::Ok;
            rec.OutputPath = out.OutputPath;
            rec.NameShortened = out.NameShortened;
            rec.Size = out.Size;
            rec.Sha256 = out.Sha256;
            rec.Unreadable = out.Unreadable;
            ++(out.Damaged ? s.Counts.Damaged : s.Counts.OK);
        } catch (const std::exception& e) {
            // A copy that ends while Stop was asked for (its tool killed, its read cut
            // short) was stopped, not failed.
            if (dynamic_cast<const TExtractionStopped*>(&e) || st_.StopRequested()) {
                rec.Outcome = TRecoveryOutcome::Stopped;
                rec.Error = "Stopped";
                s.Stopped = true;
                s.NotRecovered = rows.size() - k;
                if (options.OnRecord) options.OnRecord(rec);
                break;
            }
            rec.Error = e.what();
            rec.FailedUnreadable = dynamic_cast<const TUnreadablePartsError*>(&e) != nullptr;
            ++s.Counts.Failed;
            if (rec.FailedUnreadable) ++s.FailedUnreadable;
            Log(host_, "RECOVER ERROR: " + f.FullPath + " -> " + rec.Error);
        }
        bytesBefore += ExpectedSize(f);
        if (options.OnRecord) options.OnRecord(rec);
        if (rec.Outcome != TRecoveryOutcome::Ok && s.Problems.size() < kMaxProblemRecords) s.Problems.push_back(rec);
    }
    s.Text = Format(host_.Translate(s.Stopped ? "Recovery stopped. OK: %d Failed: %d" : "Recovery finished. OK: %d Failed: %d"),
                    {s.Counts.OK, s.Counts.Failed});
    if (s.Counts.Damaged > 0) s.Text += Format(host_.Translate(" Damaged: %d"), {s.Counts.Damaged});
    if (s.FailedUnreadable > 0 && !options.KeepDamaged)
        s.Hint = Format(host_.Translate("%d file(s) failed because parts of them could not be read from the disk. "
                                        "Recover them again with \"Keep files with unreadable parts\" ticked to get "
                                        "them with zeros in place of what could not be read."),
                        {s.FailedUnreadable});
    host_.Queue([this, s, options] { Finish(s, options); });
}

void TRecoveryBatch::Finish(const TRecoverySummary& s, const TRecoveryBatchOptions& options) {
    summary_ = s;
    // The list says what the disk would not give: a result kept or failed for unreadable
    // parts is no longer in the condition its metadata promised. UI thread, batch over:
    // FFound is the front end's again.
    const std::string mark = host_.Translate("Unreadable parts");
    for (const TRecoveryRecord& r : s.Problems) {
        if (r.Outcome != TRecoveryOutcome::Damaged && !r.FailedUnreadable) continue;
        if (r.Row >= st_.FFound.size() || st_.FFound[r.Row].Inode != r.Address) continue;
        std::string& text = st_.FFound[r.Row].DamageText;
        if (text.rfind(mark, 0) != 0) text = text.empty() || text == "Unknown" ? mark : mark + "; " + text;
    }
    if (s.Stopped)
        Log(host_, Format("Recovery stopped by user: %d file(s) not recovered.", {s.NotRecovered}));
    if (s.Counts.Damaged > 0)
        Log(host_, Format("Selected recovery finished. OK=%d, Failed=%d, Damaged=%d",
                          {s.Counts.OK, s.Counts.Failed, s.Counts.Damaged}));
    else
        Log(host_, Format("Selected recovery finished. OK=%d, Failed=%d", {s.Counts.OK, s.Counts.Failed}));
    // The status first: a box can stay open for a long time and the window behind it
    // should already say how the batch ended.
    std::string status = Format(host_.Translate(s.Stopped ? "Recovery stopped.\r\nOK: %d\r\nFailed: %d"
                                                          : "Recovery finished.\r\nOK: %d\r\nFailed: %d"),
                                {s.Counts.OK, s.Counts.Failed});
    if (s.Counts.Damaged > 0)
        status += "\r\n" + std::string(TrimView(Format(host_.Translate(" Damaged: %d"), {s.Counts.Damaged})));
    SetStatusText(host_, status);
    if (options.ShowSummary)
        options.ShowSummary(s);
    else
        host_.ShowInfo(s.Text);
}

std::string RecoveryProblemText(const TRecoveryRecord& r, TScanHost& host) {
    if (r.Outcome == TRecoveryOutcome::Damaged) {
        uint64_t missing = 0;
        for (const TByteRange& u : r.Unreadable) missing += u.Length;
        return Format(host.Translate("%s: kept with unreadable parts (%d bytes are zeros)"),
                      {ResultDisplayPath(r.Path), missing});
    }
    return ResultDisplayPath(r.Path) + ": " + r.Error;
}

} // namespace brivo
